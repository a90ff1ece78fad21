// A capture connection: the capture device opened through its library, and the
// virtual joystick opened with it.
#include "bridge/button_masks.h"
#include "bridge/poll_worker.h"
#include "joystick/virtual_joystick.h"
#include "platform/diagnostics.h"
#include "usbio/usbio_api.h"

void ReleaseJoystick() {
    int32_t idle = buttonMasks.idleMask.load();
    JoystickClose(&idle);
}

int OpenCaptureConnection(int32_t mode, int32_t buttonNumber, int32_t inverted) {
    if (UsbIoInit() == 0 || UsbIoOpen(0) != 0 || UsbIoInitI2c() != 0) {
        return 1;
    }
    // A connection that was abandoned, or whose library close was refused, still
    // holds the joystick; at most one joystick connection is ever held.
    if (JoystickConnectionHeld()) {
        ReleaseJoystick();
    }
    if (Init_ZUR_GP() == 0) {
        TraceMessage("Error:Init_ZUR_GP");
        return 1;
    }
    ComputeButtonMasks(mode, buttonNumber, inverted);
    SendButtonReport(buttonMasks.idleMask.load());
    return 0;
}

PollFailure lastPollFailure = {"", 0};

int Get_GPIO(int32_t mode, int32_t buttonNumber, [[maybe_unused]] int32_t inverted,
             int32_t pulseMs) {
    // The masks were computed when the connection opened; each is stored with its
    // final value there, once, so the timer thread never reads one being redone.
    // A joystick that refused a report is gone (its driver restarted, say) while
    // the capture device may stay: the poll fails, so that the connection is
    // closed and opened again, the joystick with it.
    if (JoystickRefusedAReport()) {
        lastPollFailure = {"HidD_SetFeature", 0};
        return 1;
    }
    GpioState state = 0;
    if (int result = UsbIoGetGpio(0, &state); result != 0) {
        lastPollFailure = {"ZUR_USBIO_API_GetGPIO", result};
        return 1;
    }
    return TranslateButtonState(state, mode, buttonNumber, pulseMs);
}

int CloseCaptureConnection(int32_t deviceIndex) {
    if (UsbIoClose(deviceIndex) != 0) {
        if (joystickConnection.deviceHandle.load() != INVALID_HANDLE_VALUE) {
            SendButtonReport(buttonMasks.idleMask.load());
        }
        return 1;
    }
    UsbIoDestroy();
    ReleaseJoystick();
    return 0;
}
