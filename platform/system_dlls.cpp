// The names below are the table's members, not the macros that redirect calls.
#define JOYVANE_SYSTEM_DLLS_TABLE
#include "platform/win32.h"

#include <cstring>
#include <type_traits>

SystemDllCalls systemDllCalls = {};

namespace {

struct SystemDllFunction {
    const char* dll;
    const char* name;
    void (*store)(SystemDllCalls& table, FARPROC address);
};

// Each member is stored through its own type. The detour through void (*)() is
// the cast between function types that compilers accept without a warning.
template <auto member> void Store(SystemDllCalls& table, FARPROC address) {
    using Function = std::remove_reference_t<decltype(table.*member)>;
    table.*member = reinterpret_cast<Function>(reinterpret_cast<void (*)()>(address));
}

const SystemDllFunction systemDllFunctions[] = {
    {"hid.dll", "HidD_GetHidGuid", Store<&SystemDllCalls::HidD_GetHidGuid>},
    {"hid.dll", "HidD_GetPreparsedData", Store<&SystemDllCalls::HidD_GetPreparsedData>},
    {"hid.dll", "HidD_FreePreparsedData", Store<&SystemDllCalls::HidD_FreePreparsedData>},
    {"hid.dll", "HidD_SetFeature", Store<&SystemDllCalls::HidD_SetFeature>},
    {"hid.dll", "HidP_GetCaps", Store<&SystemDllCalls::HidP_GetCaps>},
    {"winmm.dll", "timeSetEvent", Store<&SystemDllCalls::timeSetEvent>},
    {"winmm.dll", "timeKillEvent", Store<&SystemDllCalls::timeKillEvent>},
    {"winmm.dll", "timeBeginPeriod", Store<&SystemDllCalls::timeBeginPeriod>},
    {"winmm.dll", "timeEndPeriod", Store<&SystemDllCalls::timeEndPeriod>},
};

} // namespace

DWORD LoadSystemDlls(const char** failedName) {
    SystemDllCalls table = {};
    HMODULE module = nullptr;
    const char* moduleName = nullptr;
    for (const SystemDllFunction& function : systemDllFunctions) {
        if (moduleName == nullptr || std::strcmp(moduleName, function.dll) != 0) {
            // The DLLs stay loaded for the life of the process, as imported ones would.
            module = LoadLibraryExA(function.dll, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
            moduleName = function.dll;
            if (module == nullptr) {
                *failedName = function.dll;
                return GetLastError();
            }
        }
        FARPROC address = GetProcAddress(module, function.name);
        if (address == nullptr) {
            *failedName = function.name;
            return GetLastError();
        }
        function.store(table, address);
    }
    systemDllCalls = table;
    return 0;
}
