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
    const Fault* fault = faults.Fails(CaptureExport(call), now);
    if (call == CaptureCall::GetGpio && !canStore) {
        return {2, false, 0};
    }
    if (fault != nullptr) {
        const long failure = call == CaptureCall::Init ? 0 : 1;
        return {static_cast<int>(fault->result.value_or(failure)), false, 0};
    }
    if (call == CaptureCall::GetGpio) {
        return {0, true, ButtonAt(now)};
    }
    return {call == CaptureCall::Init ? 1 : 0, false, 0};
}

} // namespace world
