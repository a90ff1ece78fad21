// The bridge set up for measuring: a capture library whose button stays up, a
// joystick that accepts every report, and the simulation's records switched off.
#pragma once

#include "joystick/virtual_joystick.h"
#include "tests/process_state.h"
#include "sim/sim.h"
#include "usbio/usbio_api.h"

inline void OpenBenchBridge() {
    sim::Reset();
    ResetProcessState();
    sim::InstallCaptureLibrary();
    sim::SetButtonTimeline({{0, gpioButtonUp}});
    sim::SetCallLogging(false);
    sim::SetReportRecording(false);
    LoadUsbIoLibrary(usbIoLibraryName);
    joystickConnection.deviceHandle.store(sim::OpenJoystickHandle());
}

inline void CloseBenchBridge() {
    FreeUsbIoLibrary();
    sim::Reset();
    ResetProcessState();
}
