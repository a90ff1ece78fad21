// Where the capture library would come from, found by looking at files only: the
// service names that path in its trace while it waits for the library, and a look
// runs nothing, whereas a load would run the DLL's DllMain.
#include <cstdio>
#include <cstring>

#include "usbio/usbio_api.h"

namespace {

// folder\ZUR_USBIO_KAD.dll into out; 0, with out emptied, when it does not fit.
int JoinLibraryPath(const char* folder, char* out, DWORD size) {
    if (size == 0) {
        return 0;
    }
    int length = std::snprintf(out, size, "%s\\%s", folder, usbIoLibraryName);
    if (length < 0 || static_cast<DWORD>(length) >= size) {
        out[0] = '\0';
        return 0;
    }
    return 1;
}

// Whether the file is there: a folder of that name is no DLL.
bool HoldsFile(const char* fileName) {
    DWORD attributes = GetFileAttributesA(fileName);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// The folder that LOAD_LIBRARY_SEARCH_SYSTEM32 searches for this program, or 0.
// A 32-bit program on 64-bit Windows gets SysWOW64 when it asks for System32 (the
// file system redirector sends it there); the trace names the folder the file
// really lies in. On 32-bit Windows GetSystemWow64DirectoryA fails with
// ERROR_CALL_NOT_IMPLEMENTED; on any failure System32 is the answer, which the
// redirector would lead to the same folder anyway.
UINT SystemFolder(char* folder, UINT size) {
    UINT length = GetSystemWow64DirectoryA(folder, size);
    if (length == 0) {
        length = GetSystemDirectoryA(folder, size);
    }
    // A longer answer is the size it would need: no usable folder.
    return length < size ? length : 0;
}

} // namespace

int LocateUsbIoLibrary(const char* programFolder, char* path, DWORD size) {
    if (size > 0) {
        path[0] = '\0';
    }
    if (programFolder == nullptr) {
        return 0;
    }
    // The ANSI file calls take no path longer than MAX_PATH.
    char candidate[MAX_PATH];
    char systemFolder[MAX_PATH];
    const char* found = nullptr;
    if (JoinLibraryPath(programFolder, candidate, sizeof candidate) && HoldsFile(candidate)) {
        found = candidate;
    } else if (SystemFolder(systemFolder, sizeof systemFolder) != 0 &&
               JoinLibraryPath(systemFolder, candidate, sizeof candidate) && HoldsFile(candidate)) {
        found = candidate;
    }
    if (found == nullptr) {
        JoinLibraryPath(programFolder, path, size);
        return 0;
    }
    if (std::strlen(found) >= size) {
        return 0;
    }
    std::memcpy(path, found, std::strlen(found) + 1);
    return 1;
}
