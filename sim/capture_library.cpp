// A capture device on the simulated machine, reached through its maker's library
// "ZUR_USBIO_KAD.dll": the device itself (button, results, faults) is the
// world's; this file adds the exports, the lock, the clock and the call log.
#include <utility>
#include <vector>

#include "sim/state.h"
#include "world/capture_device.h"

namespace sim {
namespace {

world::CaptureDevice device;
std::function<void(CaptureCall, int)> hook;

// Every entry point asks the world's device and then runs the test's hook,
// unlocked. A call that a block rule holds lets virtual time pass (or sleeps,
// in real time) until the rule's end. The values for the tests: the device
// index where the call takes one, then the state stored.
int32_t Call(CaptureCall call, int32_t deviceIndex, int32_t* state) {
    const char* name = world::CaptureExport(call);
    detail::Checkpoint(name);
    std::unique_lock<std::mutex> lock(detail::Lock());
    world::FaultTable& faults = detail::FaultsLocked();
    const auto wait = [&lock](long until) {
        detail::PassTimeLocked(lock, static_cast<uint32_t>(until - detail::NowLocked()));
        return static_cast<long>(detail::NowLocked());
    };
    const world::CaptureAnswer answer =
        device.Call(call, deviceIndex, state != nullptr, static_cast<long>(detail::NowLocked()),
                    faults, wait, [&](world::CallRecord record) {
                        CallValues values{.result = record.result};
                        for (const auto& [argument, value] : record.args) {
                            if (argument != "store" && argument != "call") {
                                values.numbers.push_back(std::stoll(value));
                            }
                        }
                        if (record.call == "Blocked") {
                            values = {};
                        }
                        detail::AnswerLocked(std::move(record), std::move(values));
                    });
    if (answer.stored) {
        *state = answer.state;
    }
    const int number = faults.Calls(name);
    std::function<void(CaptureCall, int)> after = hook;
    lock.unlock();
    if (after) {
        after(call, number);
    }
    return answer.result;
}

int32_t Init() {
    return Call(CaptureCall::Init, -1, nullptr);
}
int32_t Open(int32_t deviceIndex) {
    return Call(CaptureCall::Open, deviceIndex, nullptr);
}
int32_t InitI2c() {
    return Call(CaptureCall::InitI2c, -1, nullptr);
}
int32_t GetGpio(int32_t deviceIndex, int32_t* state) {
    return Call(CaptureCall::GetGpio, deviceIndex, state);
}
int32_t Close(int32_t deviceIndex) {
    return Call(CaptureCall::Close, deviceIndex, nullptr);
}
int32_t Destroy() {
    return Call(CaptureCall::Destroy, -1, nullptr);
}
int32_t NeverCalled() {
    return 0;
}

} // namespace

namespace detail {

void ResetCaptureLocked() {
    device.Clear();
    hook = nullptr;
}

} // namespace detail

void InstallCaptureLibrary(DllFolder folder, std::string_view without) {
    std::vector<Export> exports = {{"ZUR_USBIO_API_Init", Proc(&Init)},
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
                                   {"ZUR_USBIO_API_InitI2c", Proc(&InitI2c)}};
    std::erase_if(exports, [without](const Export& entry) { return entry.name == without; });
    RegisterModule("ZUR_USBIO_KAD.dll", std::move(exports), 0, folder);
}

void SetButtonTimeline(std::vector<std::pair<uint32_t, int32_t>> timeline) {
    std::lock_guard<std::mutex> guard(detail::Lock());
    device.Clear();
    for (const auto& [from, state] : timeline) {
        device.SetButton(static_cast<long>(from), state);
    }
}

void SetCaptureDevice(world::CaptureDevice capture) {
    std::lock_guard<std::mutex> guard(detail::Lock());
    device = std::move(capture);
}

void OnCaptureCall(std::function<void(CaptureCall call, int number)> hook) {
    std::lock_guard<std::mutex> guard(detail::Lock());
    sim::hook = std::move(hook);
}

} // namespace sim
