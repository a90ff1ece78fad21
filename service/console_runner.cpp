#include "service/console_runner.h"

#include <cstdio>
#include <cstring>

#include "bridge/poll_worker.h"
#include "platform/win32.h"
#include "service/service_config.h"
#include "service/setup_check.h"
#include "platform/diagnostics.h"

namespace {

std::atomic<HANDLE> consoleStopEvent{nullptr};

// Runs on a thread of the console's; the main thread does the stopping.
BOOL WINAPI ConsoleControlHandler(DWORD controlType) {
    if (controlType != CTRL_C_EVENT && controlType != CTRL_BREAK_EVENT &&
        controlType != CTRL_CLOSE_EVENT) {
        return FALSE;
    }
    HANDLE event = consoleStopEvent.load();
    if (event != nullptr) {
        SetEvent(event);
    }
    return TRUE;
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

constexpr DWORD workerCheckMs = 250;

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
    HANDLE stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (stop == nullptr) {
        std::fputs("Error: no stop event\n", stderr);
        return exitCode;
    }
    consoleStopEvent.store(stop);
    SetConsoleCtrlHandler(ConsoleControlHandler, TRUE);
    if (!StartPollWorker(serviceConfig.buttonNumber, serviceConfig.mode)) {
        std::fputs("Error: the worker thread could not be started\n", stderr);
    } else {
        // Until Ctrl+C, or until the worker gives up by itself (no library).
        while (WaitForSingleObject(stop, workerCheckMs) == WAIT_TIMEOUT &&
               workerAlive.load() == 1) {
        }
        bool stopped = WaitForSingleObject(stop, 0) == WAIT_OBJECT_0;
        if (!StopPollWorker(workerStopDeadlineMs)) {
            std::fputs("Error: the worker did not stop in time\n", stderr);
        } else if (stopped) {
            std::puts("Joyvane console: stopped.");
            exitCode = 0;
        } else {
            std::puts("Joyvane console: the capture-device library could not be loaded "
                      "(the trace line above has the Windows error code).");
        }
    }
    SetConsoleCtrlHandler(ConsoleControlHandler, FALSE);
    consoleStopEvent.store(nullptr);
    CloseHandle(stop);
    std::fflush(stdout);
    return exitCode;
}
