// The file version of a program on disk, from its version resource, read without
// version.dll: that DLL is no KnownDLL, so a static import of it would be looked
// for beside the program first.
#pragma once

#include <cstdint>

#include "platform/win32.h"

// The four parts of FILEVERSION a,b,c,d, or the Windows error with which the file
// could not be read (ERROR_RESOURCE_TYPE_NOT_FOUND: it has no version resource;
// ERROR_INVALID_DATA: the resource is not a version resource).
DWORD ReadFileVersion(const char* path, uint16_t version[4]);
