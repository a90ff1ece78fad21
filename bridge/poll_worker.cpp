#include "bridge/poll_worker.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "bridge/button_masks.h"
#include "bridge/pause_timer.h"
#include "joystick/virtual_joystick.h"
#include "platform/diagnostics.h"
#include "platform/event_log.h"
#include "messages.h"
#include "usbio/usbio_api.h"

std::atomic<int32_t> runFlag{0};
std::atomic<int32_t> workerAlive{0};
std::atomic<HANDLE> workerThread{nullptr};
std::atomic<HANDLE> workerStopEvent{nullptr};

namespace {

constexpr int32_t reconnectPauseMs = 1000;
constexpr int firstPollRetries = 100;
// How long the stop tries for the joystick when the worker is stuck.
constexpr DWORD stopJoystickMs = 50;
// A poll pause of 0 or less would make the worker spin a whole core.
constexpr int32_t shortestPollPauseMs = 1;

// Where the library is or belongs, for the trace: the full path, found by looking
// only, in the folder of the running program; the bare name when that folder
// cannot be had. true when the file is there.
bool LibraryPathForTrace(char* path, DWORD size) {
    char program[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, program, sizeof program);
    char* slash = length > 0 && length < sizeof program ? std::strrchr(program, '\\') : nullptr;
    bool there = false;
    if (slash != nullptr) {
        *slash = '\0';
        there = LocateUsbIoLibrary(program, path, size) == 1;
    }
    if (path[0] == '\0') {
        std::snprintf(path, size, "%s", usbIoLibraryName);
    }
    return there;
}

void TraceLibraryFailure(DWORD error) {
    char path[MAX_PATH + 1] = "";
    const bool there = LibraryPathForTrace(path, sizeof path);
    char line[MAX_PATH + 128];
    // The cause as the event names it; the trace keeps its own sentences.
    char cause[96] = "it cannot be loaded";
    if (error == ERROR_MOD_NOT_FOUND && there) {
        // The loader says 126 as well when a DLL that the library imports is missing.
        std::snprintf(line, sizeof line,
                      "Capture library found but a DLL it needs is not, waiting: %s", path);
        std::snprintf(cause, sizeof cause, "found, but a DLL it needs is not");
    } else if (error == ERROR_MOD_NOT_FOUND) {
        std::snprintf(line, sizeof line, "Capture library not found, waiting for it: %s", path);
        std::snprintf(cause, sizeof cause, "not found");
    } else if (error == ERROR_BAD_EXE_FORMAT) {
        std::snprintf(line, sizeof line,
                      "Capture library is no 32-bit DLL, waiting for another: %s", path);
        std::snprintf(cause, sizeof cause, "no 32-bit DLL");
    } else if (error == ERROR_PROC_NOT_FOUND && UsbIoMissingEntryPoint() != nullptr) {
        std::snprintf(line, sizeof line, "Capture library lacks %s, waiting for another: %s",
                      UsbIoMissingEntryPoint(), path);
        std::snprintf(cause, sizeof cause, "it lacks %s", UsbIoMissingEntryPoint());
    } else {
        std::snprintf(line, sizeof line, "Capture library cannot be loaded, waiting: %s", path);
    }
    TraceMessage(line);
    TraceCode(static_cast<int32_t>(error));
    char code[16];
    std::snprintf(code, sizeof code, "%lu", static_cast<unsigned long>(error));
    LogEvent(MSG_LIBRARY_WAITING, {cause, path, code});
}

// Loads the capture library, and while it cannot be used (not there yet, a 64-bit
// build, one without an entry point the worker calls) tries again after each
// reconnect pause: an installer may start the service before the library is
// copied in, and a service that stopped then would roll the installation back.
// The first failure of each kind is traced, and the load that ends a wait. true
// once the library is loaded; false when the worker is to stop first.
bool WaitForUsbIoLibrary(bool* waited) {
    // Each error traced so far; a library that changes back and forth between a
    // few kinds of failure is not traced again every second.
    DWORD traced[8] = {};
    size_t tracedCount = 0;
    DWORD lastError = 0;
    *waited = false;
    // The first load comes at once, also when a stop is already asked for: the
    // worker then leaves as it always does, closing and unloading.
    while (!LoadUsbIoLibrary(usbIoLibraryName)) {
        *waited = true;
        lastError = UsbIoLoadError();
        if (std::find(traced, traced + tracedCount, lastError) == traced + tracedCount &&
            tracedCount < std::size(traced)) {
            traced[tracedCount++] = lastError;
            TraceLibraryFailure(lastError);
        }
        if (!WorkerPause(reconnectPauseMs)) {
            return false;
        }
    }
    if (*waited) {
        char path[MAX_PATH + 1] = "";
        LibraryPathForTrace(path, sizeof path);
        char line[MAX_PATH + 64];
        std::snprintf(line, sizeof line, "Capture library usable after error %lu: %s",
                      static_cast<unsigned long>(lastError), path);
        TraceMessage(line);
    }
    return true;
}

} // namespace

bool WorkerPause(int32_t milliseconds) {
    DWORD length = milliseconds > 0 ? static_cast<DWORD>(milliseconds) : 0;
    HANDLE stop = workerStopEvent.load();
    HANDLE timer = workerPauseTimer.load();
    // On the worker's high-resolution timer the pause ends at its exact length,
    // not at the next 15.6 ms tick; without one (or when it cannot be set) the
    // stop event's own timeout measures it. A wait that fails returns at once; the
    // pause must still be kept, or the worker would poll without pausing.
    if (timer != nullptr && stop != nullptr &&
        WaitOnPauseTimer(timer, stop, length) != WAIT_FAILED) {
        return runFlag.load() != 0;
    }
    if (stop == nullptr || WaitForSingleObject(stop, length) == WAIT_FAILED) {
        Sleep(length);
    }
    return runFlag.load() != 0;
}

int StartPollWorker(const ServiceConfig& settings) {
    auto* params = static_cast<ServiceConfig*>(LocalAlloc(LPTR, sizeof(ServiceConfig)));
    if (params == nullptr) {
        return 0;
    }
    HANDLE stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (stop == nullptr) {
        const DWORD error = GetLastError();
        LocalFree(params);
        SetLastError(error);
        return 0;
    }
    *params = settings;
    workerStopEvent.store(stop);
    runFlag.store(1);
    // Alive from here, not only once the thread runs: whoever watches the flag
    // must not take a thread that has not started yet for one that has left.
    workerAlive.store(1);
    HANDLE thread = CreateThread(nullptr, 0, PollWorker, params, 0, nullptr);
    if (thread == nullptr) {
        // The caller reports why; the clean-up must not change the last error.
        const DWORD error = GetLastError();
        runFlag.store(0);
        workerAlive.store(0);
        workerStopEvent.store(nullptr);
        CloseHandle(stop);
        LocalFree(params);
        SetLastError(error);
        return 0;
    }
    workerThread.store(thread);
    return 1;
}

void RequestWorkerStop() {
    runFlag.store(0);
    HANDLE stop = workerStopEvent.load();
    if (stop != nullptr) {
        SetEvent(stop);
    }
}

void LetGoOfJoystickForStuckWorker() {
    // The worker's joystick must not stay pressed while the worker is stuck: the
    // idle value is the last report, and the handle is closed here, so that
    // nothing the worker sends later reaches it.
    const int32_t idle = buttonMasks.idleMask.load();
    if (JoystickLetGoFromStop(idle, stopJoystickMs)) {
        LogEventNumbers(MSG_JOYSTICK_LET_GO, {idle});
    }
}

int StopPollWorker(DWORD deadlineMs) {
    RequestWorkerStop();
    HANDLE stop = workerStopEvent.load();
    HANDLE thread = workerThread.exchange(nullptr);
    if (thread == nullptr) {
        return 1;
    }
    int left = WaitForSingleObject(thread, deadlineMs) == WAIT_OBJECT_0 ? 1 : 0;
    if (left) {
        workerStopEvent.store(nullptr);
        CloseHandle(stop);
    } else {
        // The worker is inside a call that does not return; it keeps its stop event
        // (it may still wait on it) until the process ends.
        LetGoOfJoystickForStuckWorker();
    }
    CloseHandle(thread);
    return left;
}

DWORD WINAPI PollWorker(LPVOID parameter) {
    const ServiceConfig params = *static_cast<ServiceConfig*>(parameter);
    LocalFree(parameter);
    workerAlive.store(1);
    // The worker's own timer for all its pauses; it closes it when it leaves.
    HANDLE pauseTimer = CreatePauseTimer();
    workerPauseTimer.store(pauseTimer);
    bool waited = false;
    if (!WaitForUsbIoLibrary(&waited)) {
        // Stopped while waiting: nothing was loaded or opened.
        LeavePauseTimer(pauseTimer);
        workerAlive.store(0);
        return 0;
    }
    const int32_t inverted = params.inverted;
    const int32_t pollPauseMs = std::max(params.pollIntervalMs, shortestPollPauseMs);
    bool connected = false;
    // A library that came after a wait came at the end of a reconnect pause: the
    // device is opened at once.
    bool pauseFirst = !waited;
    while (runFlag.load() != 0) {
        if (!connected) {
            const bool paused = !pauseFirst || WorkerPause(reconnectPauseMs);
            pauseFirst = true;
            LogCaptureDeviceAbsent();
            if (!paused || OpenCaptureConnection(params.mode, params.buttonNumber, inverted) != 0) {
                continue;
            }
            connected = true;
            LogCaptureDeviceConnected();
            HoldTimerResolution(true);
            // A stop that came while the library opened the device (it may have
            // waited in vain and let go of the joystick already): no poll, which
            // could press a button after the service was reported stopped.
            if (runFlag.load() == 0) {
                continue;
            }
            // A device that opened but cannot be read is given up after 101
            // immediate retries, without closing it; the next open starts afresh.
            int result = Get_GPIO(params.mode, params.buttonNumber, inverted, params.pulseMs);
            for (int retries = 0; result == 1 && runFlag.load() != 0;) {
                result = Get_GPIO(params.mode, params.buttonNumber, inverted, params.pulseMs);
                if (++retries > firstPollRetries) {
                    TraceMessage("\nError: Get_GPIO after Init");
                    LogCaptureDeviceLost(lastPollFailure.call, lastPollFailure.result);
                    connected = false;
                    HoldTimerResolution(false);
                    break;
                }
            }
        } else if (WorkerPause(pollPauseMs) &&
                   Get_GPIO(params.mode, params.buttonNumber, inverted, params.pulseMs) == 1) {
            connected = false;
            LogCaptureDeviceLost(lastPollFailure.call, lastPollFailure.result);
            HoldTimerResolution(false);
            CloseCaptureConnection(0);
        }
    }
    // No long-press callback may start a click once the joystick and the library
    // are gone; one that is running finds the joystick given up.
    CancelLongPressTimer();
    CloseCaptureConnection(0);
    // A refused close leaves the joystick open; it is released all the same.
    if (JoystickConnectionHeld()) {
        ReleaseJoystick();
    }
    FreeUsbIoLibrary();
    HoldTimerResolution(false);
    LeavePauseTimer(pauseTimer);
    workerAlive.store(0);
    return 0;
}
