#include "world/capture_device.h"

namespace world {

const char* CaptureExport(CaptureCall call) {
    static const char* const names[captureCallCount] = {
        "ZUR_USBIO_API_Init",    "ZUR_USBIO_API_Open",  "ZUR_USBIO_API_InitI2c",
        "ZUR_USBIO_API_GetGPIO", "ZUR_USBIO_API_Close", "ZUR_USBIO_API_Destroy"};
    return names[static_cast<int>(call)];
}

void CaptureDevice::SetButton(long from, int state) {
    steps_.emplace_back(from, state);
}

void CaptureDevice::Press(long at, long length) {
    SetButton(at, buttonDown);
    SetButton(at + length, buttonUp);
}

int CaptureDevice::ButtonAt(long now) const {
    int state = buttonUp;
    long since = -1;
    for (const auto& [from, value] : steps_) {
        if (from <= now && from >= since) {
            state = value;
            since = from;
        }
    }
    return state;
}

CaptureAnswer CaptureDevice::Answer(CaptureCall call, long now, FaultTable& faults,
                                    bool canStore) const {
    const FaultTable::Failure failure =
        faults.Fail(CaptureExport(call), now, call == CaptureCall::Init ? 0 : 1, 0);
    if (call == CaptureCall::GetGpio && !canStore) {
        return {2, false, 0};
    }
    if (failure.fails) {
        return {static_cast<int>(failure.result), false, 0};
    }
    if (call == CaptureCall::GetGpio) {
        return {0, true, ButtonAt(now)};
    }
    return {call == CaptureCall::Init ? 1 : 0, false, 0};
}

CaptureAnswer CaptureDevice::Call(CaptureCall call, int deviceIndex, bool canStore, long now,
                                  FaultTable& faults, const std::function<long(long until)>& wait,
                                  const std::function<void(CallRecord)>& record) const {
    const char* name = CaptureExport(call);
    if (const long until = faults.BlockedUntil(name, now); until >= 0) {
        record(Called("Blocked").Arg("call", name).Arg("until", until));
        now = wait(until);
    }
    const CaptureAnswer answer = Answer(call, now, faults, canStore);
    CallRecord done = Called(name, answer.result);
    if (deviceIndex >= 0) {
        done.Arg("device", deviceIndex);
    }
    if (answer.stored) {
        done.Arg("state", answer.state);
    } else if (call == CaptureCall::GetGpio && !canStore) {
        done.Arg("store", "null");
    }
    record(std::move(done));
    return answer;
}

} // namespace world
