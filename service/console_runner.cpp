#include "service/console_runner.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "bridge/button_masks.h"
#include "bridge/poll_worker.h"
#include "joystick/virtual_joystick.h"
#include "platform/win32.h"
#include "service/service_config.h"
#include "service/service_configure.h"
#include "service/service_status.h"
#include "service/report_text.h"
#include "service/setup_check.h"
#include "platform/diagnostics.h"

namespace {

// The console's control handler runs on a thread of its own and may come at any
// moment, also while the main thread ends; a lock and a condition variable, which
// need no handle that could be closed under it, carry the request and the answer.
SRWLOCK consoleLock = SRWLOCK_INIT;
CONDITION_VARIABLE consoleChanged = CONDITION_VARIABLE_INIT;
bool stopRequested = false;  // guarded by consoleLock
bool runnerFinished = false; // guarded by consoleLock

// Windows ends the process as soon as the handler of a closed window, a logoff or
// a shutdown returns (and at the latest about 5 s later): the handler waits until
// the main thread has stopped the worker, so that the joystick is let go first.
constexpr DWORD finishWaitMs = 4500;

BOOL WINAPI ConsoleControlHandler(DWORD controlType) {
    bool ending = controlType == CTRL_CLOSE_EVENT || controlType == CTRL_LOGOFF_EVENT ||
                  controlType == CTRL_SHUTDOWN_EVENT;
    if (controlType != CTRL_C_EVENT && controlType != CTRL_BREAK_EVENT && !ending) {
        return FALSE;
    }
    AcquireSRWLockExclusive(&consoleLock);
    stopRequested = true;
    WakeAllConditionVariable(&consoleChanged);
    while (ending && !runnerFinished &&
           SleepConditionVariableSRW(&consoleChanged, &consoleLock, finishWaitMs, 0)) {
    }
    ReleaseSRWLockExclusive(&consoleLock);
    return TRUE;
}

// Waits up to the given time for a stop request; true when one came.
bool StopRequestedWithin(DWORD milliseconds) {
    AcquireSRWLockExclusive(&consoleLock);
    if (!stopRequested) {
        SleepConditionVariableSRW(&consoleChanged, &consoleLock, milliseconds, 0);
    }
    bool requested = stopRequested;
    ReleaseSRWLockExclusive(&consoleLock);
    return requested;
}

void SetRunnerState(bool requested, bool finished) {
    AcquireSRWLockExclusive(&consoleLock);
    stopRequested = requested;
    runnerFinished = finished;
    ReleaseSRWLockExclusive(&consoleLock);
    WakeAllConditionVariable(&consoleChanged);
}

// The live lines: each button change the worker reads and each report it writes,
// with the time since the runner started. The performance counter rather than
// GetTickCount64, whose value moves in steps of the system tick (15.625 ms unless
// a program raised the timer resolution): the thousandths shown are real ones, so
// a 30 ms poll and a 250 ms click can be read off the lines.
LARGE_INTEGER runnerStart = {};
LARGE_INTEGER counterFrequency = {};
GpioState shownState = gpioButtonUp; // the worker's thread only

void PrintLiveLine(const char* text) {
    LARGE_INTEGER now = {};
    QueryPerformanceCounter(&now);
    int64_t frequency = counterFrequency.QuadPart > 0 ? counterFrequency.QuadPart : 1;
    int64_t ms = (now.QuadPart - runnerStart.QuadPart) * 1000 / frequency;
    std::printf("+%lld.%03d s %s\n", static_cast<long long>(ms / 1000), static_cast<int>(ms % 1000),
                text);
    std::fflush(stdout);
}

void ShowButtonState(GpioState state) {
    if (state == shownState) {
        return;
    }
    shownState = state;
    char text[64];
    if (state == gpioButtonDown) {
        PrintLiveLine("press");
    } else if (state == gpioButtonUp) {
        PrintLiveLine("release");
    } else {
        std::snprintf(text, sizeof text, "state %ld, neither up nor down: ignored",
                      static_cast<long>(state));
        PrintLiveLine(text);
    }
}

void ShowReport(const ButtonFeatureReport& report, bool taken) {
    char bytes[64];
    DescribeReport(report, bytes, sizeof bytes);
    char text[96];
    std::snprintf(text, sizeof text, "report %s%s", bytes, taken ? "" : ": refused");
    PrintLiveLine(text);
}

const char* ModeText(int32_t mode) {
    const char* name = ModeName(mode);
    return name != nullptr ? name : "unknown: every press fails its poll";
}

// Windows calls no console handler of a process that loaded user32.dll (this one
// does: winmm and setupapi load it, and the service's message box is linked in)
// for a logoff or a shutdown; it ends the process. A hidden top-level window is
// told instead, as every window is: the end of the session is then handled like a
// closed console window, and the joystick is let go before the answer returns.
LRESULT CALLBACK SessionWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_QUERYENDSESSION:
        return TRUE;
    case WM_ENDSESSION:
        if (wParam != FALSE) {
            ConsoleControlHandler((static_cast<DWORD>(lParam) & ENDSESSION_LOGOFF) != 0
                                      ? CTRL_LOGOFF_EVENT
                                      : CTRL_SHUTDOWN_EVENT);
        }
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcA(window, message, wParam, lParam);
    }
}

struct SessionWatch {
    HANDLE ready; // set once the window exists, or could not be made
    std::atomic<HWND> window;
};

DWORD WINAPI WatchSession(LPVOID parameter) {
    auto* watch = static_cast<SessionWatch*>(parameter);
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = SessionWindowProc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = "JoyvaneConsoleSession";
    RegisterClassA(&windowClass);
    // Not a message-only window: those hear of no session's end.
    HWND window = CreateWindowExA(0, windowClass.lpszClassName, "", 0, 0, 0, 0, 0, nullptr, nullptr,
                                  windowClass.hInstance, nullptr);
    watch->window.store(window);
    SetEvent(watch->ready);
    if (window == nullptr) {
        return 1;
    }
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        DispatchMessageA(&message);
    }
    return 0;
}

// Starts the window's thread; without one, Ctrl+C and a closed window still stop.
HANDLE StartSessionWatch(SessionWatch& watch) {
    watch.ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (watch.ready == nullptr) {
        return nullptr;
    }
    HANDLE thread = CreateThread(nullptr, 0, WatchSession, &watch, 0, nullptr);
    if (thread != nullptr) {
        WaitForSingleObject(watch.ready, INFINITE);
        if (watch.window.load() == nullptr) {
            WaitForSingleObject(thread, INFINITE);
            CloseHandle(thread);
            thread = nullptr;
        }
    }
    CloseHandle(watch.ready);
    return thread;
}

void EndSessionWatch(SessionWatch& watch, HANDLE thread) {
    if (thread == nullptr) {
        return;
    }
    // Closing the window ends its thread's message loop.
    PostMessageA(watch.window.load(), WM_CLOSE, 0, 0);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
}

} // namespace

int ConsoleProcessMain(int argc, char** argv) {
    // Options begin with two dashes: "-3" is a button number (which selects button 1).
    const char* command = argc > 1 && std::strncmp(argv[1], "--", 2) == 0 ? argv[1] : "";
    bool check = std::strcmp(command, "--check") == 0;
    bool status = std::strcmp(command, "--status") == 0;
    bool configure = std::strcmp(command, "--configure") == 0;
    bool known = command[0] == '\0' || check || status || configure;
    const bool press = check && argc > 2 && std::strcmp(argv[2], "--press") == 0;
    int wanted =
        status ? 2 : commandLineArguments + 1 + (command[0] != '\0' ? 1 : 0) + (press ? 1 : 0);
    if (!known || argc < wanted || ((status || configure) && argc != wanted)) {
        std::fputs("usage: joyvane_console [--check [--press]] BUTTON MODE INVERTED POLL_MS "
                   "CLICK_MS\n"
                   "       joyvane_console --status\n"
                   "       joyvane_console --configure BUTTON MODE INVERTED POLL_MS CLICK_MS\n"
                   "  for example: joyvane_console 4 1 0 30 250\n"
                   "  --check: checks each link from the capture device to the joystick, "
                   "and ends; with the service running, only those it does not hold\n"
                   "  --press: with --check, waits up to 10 s for one press and release and "
                   "says what the service sends for it\n"
                   "  --status: shows the installed service and its settings\n"
                   "  --configure: gives the installed service new settings and restarts it "
                   "(as administrator)\n",
                   stderr);
        return 2;
    }
    if (check) {
        return RunSetupCheck(argc, argv);
    }
    if (status) {
        return RunServiceStatus();
    }
    if (configure) {
        return RunServiceConfigure(argv + 2);
    }
    traceToConsole.store(true);
    ParseCommandLine(argc, argv);
    std::printf(
        "Joyvane console: button %ld, mode %ld (%s), %s values, poll every %ld ms, "
        "clicks of %ld ms. Ctrl+C stops.\n",
        static_cast<long>(serviceConfig.buttonNumber), static_cast<long>(serviceConfig.mode),
        ModeText(serviceConfig.mode), serviceConfig.inverted == 1 ? "inverted" : "normal",
        static_cast<long>(serviceConfig.pollIntervalMs), static_cast<long>(serviceConfig.pulseMs));
    std::fflush(stdout);

    int exitCode = 1;
    SetRunnerState(false, false);
    SetConsoleCtrlHandler(ConsoleControlHandler, TRUE);
    SessionWatch watch = {nullptr, nullptr};
    HANDLE watchThread = StartSessionWatch(watch);
    QueryPerformanceFrequency(&counterFrequency);
    QueryPerformanceCounter(&runnerStart);
    shownState = gpioButtonUp;
    buttonStateTap.store(ShowButtonState);
    reportTap.store(ShowReport);
    if (!StartPollWorker(serviceConfig)) {
        std::fputs("Error: the worker thread could not be started\n", stderr);
    } else {
        // Until Ctrl+C. Without a usable capture library the worker waits for one,
        // and says so on the console through the trace, as the service does.
        while (!StopRequestedWithin(INFINITE)) {
        }
        if (!StopPollWorker(workerStopDeadlineMs)) {
            std::fputs("Error: the worker did not stop in time\n", stderr);
        } else {
            // A worker still stuck keeps its taps: they stay valid to the end.
            buttonStateTap.store(nullptr);
            reportTap.store(nullptr);
            std::puts("Joyvane console: stopped.");
            exitCode = 0;
        }
    }
    std::fflush(stdout);
    SetRunnerState(true, true);
    EndSessionWatch(watch, watchThread);
    SetConsoleCtrlHandler(ConsoleControlHandler, FALSE);
    std::fflush(stdout);
    return exitCode;
}
