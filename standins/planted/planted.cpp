// A DLL that an attacker might plant beside one of the programs, under the name of
// a system DLL that is not a KnownDLL (hid.dll, winmm.dll). It exports what the
// programs once imported from those DLLs, so that a program importing them would
// bind to it and start, and its DllMain leaves "<its file name>.ran" beside it:
// that file is the proof that the planted code ran in the program's process.
#include <windows.h>

extern "C" {

BOOLEAN WINAPI HidD_FreePreparsedData(PVOID) {
    return FALSE;
}
void WINAPI HidD_GetHidGuid(LPGUID guid) {
    *guid = GUID{};
}
BOOLEAN WINAPI HidD_GetPreparsedData(HANDLE, PVOID*) {
    return FALSE;
}
BOOLEAN WINAPI HidD_SetFeature(HANDLE, PVOID, ULONG) {
    return FALSE;
}
LONG WINAPI HidP_GetCaps(PVOID, PVOID) {
    return 0;
}
// No SDK declarations for these: they would mark them as imported.
UINT WINAPI timeSetEvent(UINT, UINT, PVOID, DWORD_PTR, UINT) {
    return 0;
}
UINT WINAPI timeKillEvent(UINT) {
    return 11; // MMSYSERR_INVALPARAM
}

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        char path[MAX_PATH];
        const DWORD length = GetModuleFileNameA(self, path, MAX_PATH - 5);
        if (length > 0 && length < MAX_PATH - 5) {
            lstrcatA(path, ".ran");
            HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
            if (file != INVALID_HANDLE_VALUE) {
                char exe[MAX_PATH] = "";
                GetModuleFileNameA(nullptr, exe, MAX_PATH);
                DWORD written = 0;
                WriteFile(file, exe, lstrlenA(exe), &written, nullptr);
                CloseHandle(file);
            }
        }
    }
    return TRUE;
}

} // extern "C"
