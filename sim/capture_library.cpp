// A capture device on the simulated machine, reached through its maker's library
// "ZUR_USBIO_KAD.dll": the button follows a timeline, and any call can be made to
// fail a number of times or for a stretch of virtual time.
#include <array>
#include <utility>

#include "sim/state.h"

namespace sim {
namespace {

struct FailureWindow {
    CaptureCall call;
    uint32_t from;
    uint32_t until;
    int32_t result;
};

std::vector<std::pair<uint32_t, int32_t>> buttonTimeline;
std::array<int, 6> failuresLeft = {};
std::array<int32_t, 6> failureResult = {};
std::array<int, 6> callCount = {};
std::vector<FailureWindow> windows;
std::function<void(CaptureCall, int)> hook;

const char* const callNames[] = {"ZUR_USBIO_API_Init",    "ZUR_USBIO_API_Open",
                                 "ZUR_USBIO_API_InitI2c", "ZUR_USBIO_API_GetGPIO",
                                 "ZUR_USBIO_API_Close",   "ZUR_USBIO_API_Destroy"};

// The result of one call as scripted, or success; the caller holds the lock.
// Init reports failure as 0, whatever result was scripted.
int32_t ScriptedResultLocked(CaptureCall call, int32_t success, int& number) {
    size_t index = static_cast<size_t>(call);
    number = ++callCount[index];
    uint32_t time = detail::NowLocked();
    bool failed = false;
    int32_t result = success;
    for (const FailureWindow& window : windows) {
        if (window.call == call && time >= window.from && time < window.until) {
            failed = true;
            result = window.result;
        }
    }
    if (failuresLeft[index] > 0) {
        --failuresLeft[index];
        failed = true;
        result = failureResult[index];
    }
    if (failed && call == CaptureCall::Init) {
        result = 0;
    }
    return result;
}

int32_t ButtonLocked() {
    int32_t state = 3;
    uint32_t time = detail::NowLocked();
    for (const auto& step : buttonTimeline) {
        if (step.first <= time) {
            state = step.second;
        }
    }
    return state;
}

// Every entry point logs itself and then runs the test's hook, unlocked.
int32_t Call(CaptureCall call, int32_t success, int32_t deviceIndex, int32_t* state) {
    int number = 0;
    int32_t result;
    std::function<void(CaptureCall, int)> after;
    detail::Checkpoint(callNames[static_cast<size_t>(call)]);
    {
        std::lock_guard<std::mutex> guard(detail::Lock());
        result = ScriptedResultLocked(call, success, number);
        const char* name = callNames[static_cast<size_t>(call)];
        if (state != nullptr && result == 0) {
            *state = ButtonLocked();
            detail::LogLocked(name, "%d -> %d state %d", deviceIndex, result, *state);
        } else if (deviceIndex >= 0) {
            detail::LogLocked(name, "%d -> %d", deviceIndex, result);
        } else {
            detail::LogLocked(name, "-> %d", result);
        }
        after = hook;
    }
    if (after) {
        after(call, number);
    }
    return result;
}

int32_t Init() {
    return Call(CaptureCall::Init, 1, -1, nullptr);
}
int32_t Open(int32_t deviceIndex) {
    return Call(CaptureCall::Open, 0, deviceIndex, nullptr);
}
int32_t InitI2c() {
    return Call(CaptureCall::InitI2c, 0, -1, nullptr);
}
int32_t GetGpio(int32_t deviceIndex, int32_t* state) {
    return Call(CaptureCall::GetGpio, 0, deviceIndex, state);
}
int32_t Close(int32_t deviceIndex) {
    return Call(CaptureCall::Close, 0, deviceIndex, nullptr);
}
int32_t Destroy() {
    return Call(CaptureCall::Destroy, 0, -1, nullptr);
}
int32_t NeverCalled() {
    return 0;
}

} // namespace

namespace detail {

void ResetCaptureLocked() {
    buttonTimeline.clear();
    failuresLeft.fill(0);
    failureResult.fill(0);
    callCount.fill(0);
    windows.clear();
    hook = nullptr;
}

} // namespace detail

void InstallCaptureLibrary() {
    RegisterModule("ZUR_USBIO_KAD.dll", {{"ZUR_USBIO_API_Init", Proc(&Init)},
                                         {"ZUR_USBIO_API_Destroy", Proc(&Destroy)},
                                         {"ZUR_USBIO_API_GetApiVersion", Proc(&NeverCalled)},
                                         {"ZUR_USBIO_API_Close", Proc(&Close)},
                                         {"ZUR_USBIO_API_Open", Proc(&Open)},
                                         {"ZUR_USBIO_API_SetCallback", Proc(&NeverCalled)},
                                         {"ZUR_USBIO_API_Start", Proc(&NeverCalled)},
                                         {"ZUR_USBIO_API_GetVideostandart", Proc(&NeverCalled)},
                                         {"ZUR_USBIO_API_SetReg", Proc(&NeverCalled)},
                                         {"ZUR_USBIO_API_GetReg", Proc(&NeverCalled)},
                                         {"ZUR_USBIO_API_GetGPIO", Proc(&GetGpio)},
                                         {"ZUR_USBIO_API_SetI2c", Proc(&NeverCalled)},
                                         {"ZUR_USBIO_API_GetI2c", Proc(&NeverCalled)},
                                         {"ZUR_USBIO_API_InitI2c", Proc(&InitI2c)}});
}

void SetButtonTimeline(std::vector<std::pair<uint32_t, int32_t>> timeline) {
    std::lock_guard<std::mutex> guard(detail::Lock());
    buttonTimeline = std::move(timeline);
}

void FailCaptureCalls(CaptureCall call, int count, int32_t result) {
    std::lock_guard<std::mutex> guard(detail::Lock());
    failuresLeft[static_cast<size_t>(call)] = count;
    failureResult[static_cast<size_t>(call)] = result;
}

void FailCaptureCallsBetween(CaptureCall call, uint32_t from, uint32_t until, int32_t result) {
    std::lock_guard<std::mutex> guard(detail::Lock());
    windows.push_back(FailureWindow{call, from, until, result});
}

void OnCaptureCall(std::function<void(CaptureCall call, int number)> hook) {
    std::lock_guard<std::mutex> guard(detail::Lock());
    sim::hook = std::move(hook);
}

} // namespace sim
