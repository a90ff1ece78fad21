// Stand-in for the capture-device I/O library "ZUR_USBIO_KAD.dll".
//
// The same source builds two DLLs that differ only in the calling convention of
// every entry point: ZUR_USBIO_STDCALL selects __stdcall, otherwise __cdecl.
// Both export the undecorated names (the stdcall build links with --kill-at).
//
// The device answers as world.scenario beside the DLL describes it (see
// README.md and world/scenario.h), in milliseconds since the DLL was loaded
// into the process: the device, its button and the fault rules are the
// world's; this file adds the exports, the clock and the log. Without a
// scenario the button is up and every call succeeds. Every call is appended
// to ZUR_USBIO_KAD.log beside the DLL, a record of the call log each.
#include "common/standin_log.h"
#include "common/world_file.h"

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#ifdef ZUR_USBIO_STDCALL
#define ZUR_CALL __stdcall
#define ZUR_FLAVOUR "stdcall"
#else
#define ZUR_CALL __cdecl
#define ZUR_FLAVOUR "cdecl"
#endif

#define ZUR_EXPORT extern "C" __declspec(dllexport)

namespace {

using world::CaptureCall;

HANDLE logFile = INVALID_HANDLE_VALUE;
std::int64_t loadedAtUs = 0;
// The device, its faults and the button script: the world's, read from
// world.scenario. The service calls from one thread at a time, but the lock
// costs nothing and keeps a second caller from corrupting the call counts.
CRITICAL_SECTION worldLock;
world::CaptureDevice device;
world::FaultTable faults;

long ScenarioMs() {
    return static_cast<long>((standin::QpcMicros() - loadedAtUs) / 1000);
}

// One of the scripted calls, whole: the world holds it while a block rule says
// so (a library stuck in its driver, here a sleep without the lock) and
// answers it for its own time; each record goes to the log as it comes.
int Scripted(CaptureCall call, int deviceIndex = -1, int* state = nullptr, bool canStore = true) {
    EnterCriticalSection(&worldLock);
    const world::CaptureAnswer answer = device.Call(
        call, deviceIndex, canStore, ScenarioMs(), faults,
        [](long until) {
            LeaveCriticalSection(&worldLock);
            const long now = ScenarioMs();
            Sleep(until > now ? static_cast<DWORD>(until - now) : 0);
            EnterCriticalSection(&worldLock);
            return ScenarioMs();
        },
        [](world::CallRecord record) { standin::Write(logFile, std::move(record)); });
    LeaveCriticalSection(&worldLock);
    if (answer.stored) {
        *state = answer.state;
    }
    return answer.result;
}

// A call of one of the exports below: logged, answered 0.
int Unused(const char* name) {
    standin::Write(logFile, world::Called(std::string("ZUR_USBIO_API_") + name, 0));
    return 0;
}

// Which program loaded this copy, and the current directory and PATH it had: the
// folders that a load by a bare name would search besides the program's own and
// the system's. A test that plants a copy there learns from this record that it
// planted it where the process would have looked.
void LogProcess() {
    char exe[MAX_PATH] = "";
    char cwd[MAX_PATH] = "";
    char path[800] = "";
    GetModuleFileNameA(nullptr, exe, sizeof exe);
    GetCurrentDirectoryA(sizeof cwd, cwd);
    if (GetEnvironmentVariableA("PATH", path, sizeof path) >= sizeof path) {
        std::snprintf(path, sizeof path, "(longer than %u characters)",
                      static_cast<unsigned>(sizeof path));
    }
    standin::Write(logFile,
                   world::Called("Process").Arg("exe", exe).Arg("cwd", cwd).Arg("path", path));
}

} // namespace

ZUR_EXPORT int ZUR_CALL ZUR_USBIO_API_Init(void) {
    return Scripted(CaptureCall::Init);
}
ZUR_EXPORT int ZUR_CALL ZUR_USBIO_API_Open(int deviceIndex) {
    return Scripted(CaptureCall::Open, deviceIndex);
}
ZUR_EXPORT int ZUR_CALL ZUR_USBIO_API_InitI2c(void) {
    return Scripted(CaptureCall::InitI2c);
}
ZUR_EXPORT int ZUR_CALL ZUR_USBIO_API_GetGPIO(int deviceIndex, int* state) {
    return Scripted(CaptureCall::GetGpio, deviceIndex, state, state != nullptr);
}
ZUR_EXPORT int ZUR_CALL ZUR_USBIO_API_Close(int deviceIndex) {
    return Scripted(CaptureCall::Close, deviceIndex);
}
ZUR_EXPORT int ZUR_CALL ZUR_USBIO_API_Destroy(void) {
    return Scripted(CaptureCall::Destroy);
}

// The eight entry points the service resolves but never calls.
#define ZUR_UNUSED(name)                                                                           \
    ZUR_EXPORT int ZUR_CALL ZUR_USBIO_API_##name(void) {                                           \
        return Unused(#name);                                                                      \
    }
ZUR_UNUSED(GetApiVersion)
ZUR_UNUSED(SetCallback)
ZUR_UNUSED(Start)
ZUR_UNUSED(GetVideostandart)
ZUR_UNUSED(SetReg)
ZUR_UNUSED(GetReg)
ZUR_UNUSED(SetI2c)
ZUR_UNUSED(GetI2c)

extern "C" BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        // Only kernel32 is used here, which the loader lock allows.
        DisableThreadLibraryCalls(self);
        loadedAtUs = standin::QpcMicros();
        char path[MAX_PATH];
        if (standin::PathBesideModule(self, "ZUR_USBIO_KAD.log", path, sizeof path)) {
            logFile = standin::OpenAppendLog(path);
        }
        standin::Write(
            logFile, world::Called("Load").Arg("dll", "ZUR_USBIO_KAD").Arg("flavour", ZUR_FLAVOUR));
        LogProcess();
        InitializeCriticalSection(&worldLock);
        world::Scenario scenario;
        standin::ReadWorld(self, scenario, logFile);
        device = scenario.capture;
        for (const world::Fault& fault : scenario.faults) {
            faults.Add(fault);
        }
    } else if (reason == DLL_PROCESS_DETACH) {
        // `reserved` is non-null when the process is exiting rather than freeing us.
        standin::Write(logFile, world::Called("Unload")
                                    .Arg("dll", "ZUR_USBIO_KAD")
                                    .Arg("how", reserved ? "exit" : "FreeLibrary"));
        if (logFile != INVALID_HANDLE_VALUE) {
            CloseHandle(logFile);
            logFile = INVALID_HANDLE_VALUE;
        }
        DeleteCriticalSection(&worldLock);
    }
    return TRUE;
}
