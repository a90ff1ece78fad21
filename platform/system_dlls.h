// The functions of system DLLs that are not KnownDLLs, resolved from System32 at
// run time (Windows builds only; platform/win32.h includes this).
//
// Windows maps a KnownDLL (kernel32, advapi32, user32, setupapi, msvcrt, ...) from
// its own section, whatever lies beside the program. Any other DLL that a program
// imports is looked for beside the program first, before main runs and before
// SetDefaultDllDirectories can narrow the search: a hid.dll or winmm.dll planted
// beside joyvane_console.exe in a folder others may write to would run its DllMain
// in that process. So neither program imports hid.dll or winmm.dll; both are
// loaded here from System32 only, and the product's calls of their functions go
// through this table under their SDK names (the macros below).
#pragma once

struct SystemDllCalls {
    // hid.dll
    decltype(&::HidD_GetHidGuid) HidD_GetHidGuid;
    decltype(&::HidD_GetPreparsedData) HidD_GetPreparsedData;
    decltype(&::HidD_FreePreparsedData) HidD_FreePreparsedData;
    decltype(&::HidD_SetFeature) HidD_SetFeature;
    decltype(&::HidP_GetCaps) HidP_GetCaps;
    // winmm.dll
    decltype(&::timeSetEvent) timeSetEvent;
    decltype(&::timeKillEvent) timeKillEvent;
    decltype(&::timeBeginPeriod) timeBeginPeriod;
    decltype(&::timeEndPeriod) timeEndPeriod;
};

extern SystemDllCalls systemDllCalls;

// Loads hid.dll and winmm.dll from System32 (SysWOW64 for this 32-bit program on
// 64-bit Windows) and fills the table. Called first thing in main; nothing in the
// table may be called before it succeeded. 0 when every function was found, else
// the Windows error; *failedName then names the DLL or function that failed.
DWORD LoadSystemDlls(const char** failedName);

#ifndef JOYVANE_SYSTEM_DLLS_TABLE
#define HidD_GetHidGuid systemDllCalls.HidD_GetHidGuid
#define HidD_GetPreparsedData systemDllCalls.HidD_GetPreparsedData
#define HidD_FreePreparsedData systemDllCalls.HidD_FreePreparsedData
#define HidD_SetFeature systemDllCalls.HidD_SetFeature
#define HidP_GetCaps systemDllCalls.HidP_GetCaps
#define timeSetEvent systemDllCalls.timeSetEvent
#define timeKillEvent systemDllCalls.timeKillEvent
#define timeBeginPeriod systemDllCalls.timeBeginPeriod
#define timeEndPeriod systemDllCalls.timeEndPeriod
#endif
