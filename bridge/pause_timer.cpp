#include "bridge/pause_timer.h"

#include "platform/diagnostics.h"

std::atomic<HANDLE> workerPauseTimer{nullptr};

namespace {

// CREATE_WAITABLE_TIMER_HIGH_RESOLUTION; MinGW's headers do not have it yet.
constexpr DWORD highResolutionTimer = 0x00000002;
constexpr UINT finestPeriodMs = 1;

// Whether the worker raised the timer resolution and owes its timeEndPeriod.
std::atomic<bool> resolutionRaised{false};

bool SetPauseTimer(HANDLE timer, DWORD length) {
    LARGE_INTEGER due;
    // Relative, in 100 ns units.
    due.QuadPart = -10000LL * static_cast<int64_t>(length);
    return SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE) != FALSE;
}

} // namespace

HANDLE CreatePauseTimer() {
    HANDLE timer = CreateWaitableTimerExW(nullptr, nullptr, highResolutionTimer,
                                          SYNCHRONIZE | TIMER_MODIFY_STATE);
    if (timer == nullptr) {
        const DWORD error = GetLastError();
        TraceMessage(error == ERROR_INVALID_PARAMETER
                         ? "No high-resolution timer on this Windows, raising the timer "
                           "resolution while connected"
                         : "High-resolution timer not created, raising the timer resolution "
                           "while connected");
        TraceCode(static_cast<int32_t>(error));
    }
    return timer;
}

void LeavePauseTimer(HANDLE timer) {
    if (timer == nullptr) {
        return;
    }
    HANDLE own = timer;
    workerPauseTimer.compare_exchange_strong(own, nullptr);
    CloseHandle(timer);
}

DWORD WaitOnPauseTimer(HANDLE timer, HANDLE stop, DWORD length) {
    if (!SetPauseTimer(timer, length)) {
        return WAIT_FAILED;
    }
    // The stop event first: when both are set, the stop wins. A timer left set by
    // a pause that the stop ended is set afresh by the next pause, or closed.
    HANDLE objects[2] = {stop, timer};
    return WaitForMultipleObjects(2, objects, FALSE, INFINITE);
}

void ExactSleep(DWORD length) {
    HANDLE timer = CreateWaitableTimerExW(nullptr, nullptr, highResolutionTimer,
                                          SYNCHRONIZE | TIMER_MODIFY_STATE);
    if (timer == nullptr || !SetPauseTimer(timer, length) ||
        WaitForSingleObject(timer, INFINITE) == WAIT_FAILED) {
        Sleep(length);
    }
    if (timer != nullptr) {
        CloseHandle(timer);
    }
}

void HoldTimerResolution(bool connected) {
    if (connected) {
        if (workerPauseTimer.load() == nullptr && !resolutionRaised.load()) {
            // A refused raise owes no timeEndPeriod; the pauses are then as long as
            // Windows makes them.
            resolutionRaised.store(timeBeginPeriod(finestPeriodMs) == TIMERR_NOERROR);
        }
    } else if (resolutionRaised.exchange(false)) {
        timeEndPeriod(finestPeriodMs);
    }
}
