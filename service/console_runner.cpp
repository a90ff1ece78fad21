#include "service/console_runner.h"

#include <cstdio>
#include <cstring>

#include "bridge/poll_worker.h"
#include "platform/win32.h"
#include "service/service_config.h"
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

const char* ModeName(int32_t mode) {
    switch (mode) {
    case 0:
        return "follow";
    case 1:
        return "pulse";
    case 2:
        return "short/long press";
    default:
        return "unknown: every press fails its poll";
    }
}

} // namespace

int ConsoleProcessMain(int argc, char** argv) {
    bool check = argc > 1 && std::strcmp(argv[1], "--check") == 0;
    if (argc < commandLineArguments + 1 + (check ? 1 : 0)) {
        std::fputs("usage: joyvane_console [--check] BUTTON MODE INVERTED POLL_MS CLICK_MS\n"
                   "  for example: joyvane_console 4 1 0 30 250\n"
                   "  --check: checks each link from the capture device to the joystick, "
                   "and ends\n",
                   stderr);
        return 2;
    }
    if (check) {
        return RunSetupCheck(argc, argv);
    }
    traceToConsole.store(true);
    ParseCommandLine(argc, argv);
    std::printf(
        "Joyvane console: button %ld, mode %ld (%s), %s values, poll every %ld ms, "
        "clicks of %ld ms. Ctrl+C stops.\n",
        static_cast<long>(serviceConfig.buttonNumber), static_cast<long>(serviceConfig.mode),
        ModeName(serviceConfig.mode), serviceConfig.inverted == 1 ? "inverted" : "normal",
        static_cast<long>(serviceConfig.pollIntervalMs), static_cast<long>(serviceConfig.pulseMs));
    std::fflush(stdout);

    int exitCode = 1;
    SetRunnerState(false, false);
    SetConsoleCtrlHandler(ConsoleControlHandler, TRUE);
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
            std::puts("Joyvane console: stopped.");
            exitCode = 0;
        }
    }
    std::fflush(stdout);
    SetRunnerState(true, true);
    SetConsoleCtrlHandler(ConsoleControlHandler, FALSE);
    std::fflush(stdout);
    return exitCode;
}
