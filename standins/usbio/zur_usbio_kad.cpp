// Stand-in for the capture-device I/O library "ZUR_USBIO_KAD.dll".
//
// The same source builds two DLLs that differ only in the calling convention of
// every entry point: ZUR_USBIO_STDCALL selects __stdcall, otherwise __cdecl.
// Both export the undecorated names (the stdcall build links with --kill-at).
//
// Behaviour follows ZUR_USBIO_KAD.scenario beside the DLL (see README.md): a
// timeline of button states and windows of time in which a call fails, in
// milliseconds since the DLL was loaded into the process. Without a scenario the
// button is up and every call succeeds. Every call is appended to
// ZUR_USBIO_KAD.log beside the DLL.
#include "common/directives.h"
#include "common/standin_log.h"

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

enum Call { callInit, callOpen, callInitI2c, callGetGpio, callClose, callCount };

const char* const callWords[callCount] = {"init", "open", "initi2c", "gpio", "close"};

// What a failing call returns unless the scenario names a result: Init reports
// failure with 0, the others with a non-zero code.
const int defaultFailure[callCount] = {0, 1, 1, 1, 1};

const int gpioDown = 1;
const int gpioUp = 3;

struct FailWindow {
    Call call;
    long fromMs;
    long toMs; // exclusive
    int result;
};

struct GpioStep {
    long atMs;
    int state;
};

HANDLE logFile = INVALID_HANDLE_VALUE;
std::int64_t loadedAtUs = 0;
std::vector<FailWindow> failWindows;
// Calls made in these windows do not return before the window ends, as a library
// stuck in its driver would not; `result` is unused.
std::vector<FailWindow> blockWindows;
std::vector<GpioStep> gpioSteps;

long ScenarioMs() {
    return static_cast<long>((standin::QpcMicros() - loadedAtUs) / 1000);
}

// The failure result that applies to `call` at `nowMs`, or false if it succeeds.
bool FailureNow(Call call, long nowMs, int& result) {
    for (const FailWindow& window : failWindows) {
        if (window.call == call && nowMs >= window.fromMs && nowMs < window.toMs) {
            result = window.result;
            return true;
        }
    }
    return false;
}

// Blocks a call made in a block window until the window's end; returns the time
// then.
long BlockIfScripted(Call call, long nowMs) {
    for (const FailWindow& window : blockWindows) {
        if (window.call == call && nowMs >= window.fromMs && nowMs < window.toMs) {
            standin::LogLine(logFile, "Blocked(%s) t=%ld until=%ld", callWords[call], nowMs,
                             window.toMs);
            Sleep(static_cast<DWORD>(window.toMs - nowMs));
            return ScenarioMs();
        }
    }
    return nowMs;
}

// The button state at `nowMs`: that of the latest step not after it; among steps
// at the same time the one written last wins.
int GpioStateAt(long nowMs) {
    int state = gpioUp;
    long stateSince = -1;
    for (const GpioStep& step : gpioSteps) {
        if (step.atMs <= nowMs && step.atMs >= stateSince) {
            state = step.state;
            stateSince = step.atMs;
        }
    }
    return state;
}

bool ParseState(const std::string& word, int& state) {
    long value = 0;
    if (word == "down") {
        state = gpioDown;
    } else if (word == "up") {
        state = gpioUp;
    } else if (standin::ParseNumber(word, value)) {
        state = static_cast<int>(value);
    } else {
        return false;
    }
    return true;
}

bool ParseEnd(const std::string& word, long& ms) {
    if (word == "end") {
        ms = 0x7fffffff;
        return true;
    }
    return standin::ParseNumber(word, ms);
}

// One scenario line; returns false when it is not understood.
bool ApplyDirective(const standin::Directive& directive) {
    const std::vector<std::string>& w = directive.words;
    long a = 0;
    long b = 0;
    int state = 0;
    if (w[0] == "button" && w.size() == 3 && standin::ParseNumber(w[1], a) &&
        ParseState(w[2], state)) {
        gpioSteps.push_back({a, state});
        return true;
    }
    if (w[0] == "press" && w.size() == 3 && standin::ParseNumber(w[1], a) &&
        standin::ParseNumber(w[2], b)) {
        gpioSteps.push_back({a, gpioDown});
        gpioSteps.push_back({a + b, gpioUp});
        return true;
    }
    for (int call = 0; call < callCount; ++call) {
        if (w[0] != callWords[call]) {
            continue;
        }
        if (w.size() == 4 && w[1] == "block" && standin::ParseNumber(w[2], a) &&
            standin::ParseNumber(w[3], b)) {
            blockWindows.push_back({static_cast<Call>(call), a, b, 0});
            return true;
        }
        if ((w.size() != 4 && w.size() != 5) || (w[1] != "fail" && w[1] != "refuse") ||
            !standin::ParseNumber(w[2], a) || !ParseEnd(w[3], b)) {
            return false;
        }
        long result = defaultFailure[call];
        if (w.size() == 5 && !standin::ParseNumber(w[4], result)) {
            return false;
        }
        failWindows.push_back({static_cast<Call>(call), a, b, static_cast<int>(result)});
        return true;
    }
    return false;
}

void LoadScenario(HMODULE self) {
    char path[MAX_PATH];
    std::vector<standin::Directive> directives;
    if (!standin::PathBesideModule(self, "ZUR_USBIO_KAD.scenario", path, sizeof path) ||
        !standin::ReadDirectives(path, directives)) {
        standin::LogLine(logFile, "Scenario - none");
        return;
    }
    for (const standin::Directive& directive : directives) {
        if (!ApplyDirective(directive)) {
            standin::LogLine(logFile, "Scenario - ignored line %d: %s", directive.line,
                             directive.words[0].c_str());
        }
    }
    standin::LogLine(logFile, "Scenario - %s steps=%u windows=%u", path,
                     static_cast<unsigned>(gpioSteps.size()),
                     static_cast<unsigned>(failWindows.size()));
}

// Runs the scenario for one of the five scripted calls and logs it.
int Scripted(Call call, const char* name, int success) {
    const long now = BlockIfScripted(call, ScenarioMs());
    int result = success;
    FailureNow(call, now, result);
    standin::LogLine(logFile, "%s %d t=%ld", name, result, now);
    return result;
}

// The eight entry points the service resolves but never calls.
int Unused(const char* name) {
    standin::LogLine(logFile, "%s() 0 t=%ld", name, ScenarioMs());
    return 0;
}

// Which program loaded this copy, and the current directory and PATH it had: the
// folders that a load by a bare name would search besides the program's own and
// the system's. A test that plants a copy there learns from this line that it
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
    standin::LogLine(logFile, "Process - exe=%s", exe);
    standin::LogLine(logFile, "Process - cwd=%s", cwd);
    standin::LogLine(logFile, "Process - path=%s", path);
}

} // namespace

ZUR_EXPORT int ZUR_CALL ZUR_USBIO_API_Init(void) {
    return Scripted(callInit, "Init()", 1);
}

ZUR_EXPORT int ZUR_CALL ZUR_USBIO_API_Open(int deviceIndex) {
    char name[32];
    std::snprintf(name, sizeof name, "Open(%d)", deviceIndex);
    return Scripted(callOpen, name, 0);
}

ZUR_EXPORT int ZUR_CALL ZUR_USBIO_API_InitI2c(void) {
    return Scripted(callInitI2c, "InitI2c()", 0);
}

ZUR_EXPORT int ZUR_CALL ZUR_USBIO_API_GetGPIO(int deviceIndex, int* state) {
    const long now = BlockIfScripted(callGetGpio, ScenarioMs());
    int result = 0;
    if (state == nullptr) {
        result = 2;
    } else if (!FailureNow(callGetGpio, now, result)) {
        *state = GpioStateAt(now);
    }
    // The stored state is logged only when one was stored.
    if (result == 0) {
        standin::LogLine(logFile, "GetGPIO(%d,%p) 0 t=%ld state=%d", deviceIndex,
                         static_cast<void*>(state), now, *state);
    } else {
        standin::LogLine(logFile, "GetGPIO(%d,%p) %d t=%ld", deviceIndex, static_cast<void*>(state),
                         result, now);
    }
    return result;
}

ZUR_EXPORT int ZUR_CALL ZUR_USBIO_API_Close(int deviceIndex) {
    char name[32];
    std::snprintf(name, sizeof name, "Close(%d)", deviceIndex);
    return Scripted(callClose, name, 0);
}

ZUR_EXPORT int ZUR_CALL ZUR_USBIO_API_Destroy(void) {
    standin::LogLine(logFile, "Destroy() 0 t=%ld", ScenarioMs());
    return 0;
}

ZUR_EXPORT int ZUR_CALL ZUR_USBIO_API_GetApiVersion(void) {
    return Unused("GetApiVersion");
}
ZUR_EXPORT int ZUR_CALL ZUR_USBIO_API_SetCallback(void) {
    return Unused("SetCallback");
}
ZUR_EXPORT int ZUR_CALL ZUR_USBIO_API_Start(void) {
    return Unused("Start");
}
ZUR_EXPORT int ZUR_CALL ZUR_USBIO_API_GetVideostandart(void) {
    return Unused("GetVideostandart");
}
ZUR_EXPORT int ZUR_CALL ZUR_USBIO_API_SetReg(void) {
    return Unused("SetReg");
}
ZUR_EXPORT int ZUR_CALL ZUR_USBIO_API_GetReg(void) {
    return Unused("GetReg");
}
ZUR_EXPORT int ZUR_CALL ZUR_USBIO_API_SetI2c(void) {
    return Unused("SetI2c");
}
ZUR_EXPORT int ZUR_CALL ZUR_USBIO_API_GetI2c(void) {
    return Unused("GetI2c");
}

extern "C" BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        // Only kernel32 is used here, which the loader lock allows.
        DisableThreadLibraryCalls(self);
        loadedAtUs = standin::QpcMicros();
        char path[MAX_PATH];
        if (standin::PathBesideModule(self, "ZUR_USBIO_KAD.log", path, sizeof path)) {
            logFile = standin::OpenAppendLog(path);
        }
        standin::LogLine(logFile, "Load(" ZUR_FLAVOUR ") 1 t=0");
        LogProcess();
        LoadScenario(self);
    } else if (reason == DLL_PROCESS_DETACH) {
        // `reserved` is non-null when the process is exiting rather than freeing us.
        standin::LogLine(logFile, "Unload(%s) 1 t=%ld", reserved ? "exit" : "FreeLibrary",
                         ScenarioMs());
        if (logFile != INVALID_HANDLE_VALUE) {
            CloseHandle(logFile);
            logFile = INVALID_HANDLE_VALUE;
        }
    }
    return TRUE;
}
