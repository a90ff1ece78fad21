#include "tests/process_state.h"

#include "bridge/button_masks.h"
#include "bridge/poll_worker.h"
#include "joystick/virtual_joystick.h"
#include "platform/diagnostics.h"
#include "platform/event_log.h"
#include "service/service_config.h"
#include "service/service_lifecycle.h"
#include "usbio/usbio_api.h"

void ResetProcessState() {
    serviceConfig = ServiceConfig{4, 0, 0, 30, 250};
    buttonMasks.pressMask.store(0);
    buttonMasks.secondMask.store(0);
    buttonMasks.idleMask.store(0);
    buttonLatched.store(0);
    longPressState.store(longPressIdle);
    longPressTimerId.store(0);
    armedPress.store(0);
    joystickConnection.devicePath = nullptr;
    joystickConnection.deviceHandle.store(INVALID_HANDLE_VALUE);
    joystickConnection.serial = 0;
    joystickConnection.refused.store(false);
    joystickConnection.writer.store(0);
    joystickConnection.givenUp.store(false);
    usbIoApi = UsbIoApi{};
    runFlag.store(0);
    workerAlive.store(0);
    workerThread.store(nullptr);
    workerStopEvent.store(nullptr);
    statusHandle.store(nullptr);
    currentState.store(SERVICE_START_PENDING);
    stopEvent.store(nullptr);
    ResetStopSequence();
    traceToConsole.store(false);
    ResetEventLog();
}
