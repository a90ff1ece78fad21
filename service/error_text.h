// A few words for each Windows error code that the console's service commands
// can meet, so that a line can say what went wrong and not just its number.
#pragma once

#include "platform/win32.h"

// "access denied" for 5, ...; "" for a code without words of its own.
const char* ErrorText(DWORD error);

// "error 5 (access denied)", or "error 1234" for a code without words.
void FormatError(DWORD error, char* text, size_t size);
