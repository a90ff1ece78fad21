#include <cstdio>

#include "joystick/virtual_joystick.h"

JoystickConnection joystickConnection = {nullptr, INVALID_HANDLE_VALUE};
std::atomic<bool> joystickRefusedReport{false};
std::atomic<ReportTap> reportTap{nullptr};

ButtonFeatureReport MakeButtonFeatureReport(int32_t value) {
    ButtonFeatureReport report = {};
    report.buttonsLow = static_cast<uint8_t>((value & 0x0F) << 4);
    report.buttonsHigh = static_cast<uint8_t>((value & 0xFF0) >> 4);
    return report;
}

void SendButtonReport(int32_t value) {
    LockJoystick();
    bool sent = WriteButtonReportLocked(value);
    UnlockJoystick();
    if (!sent) {
        ReportRefused();
    }
}

bool WriteButtonReportLocked(int32_t value) {
    ButtonFeatureReport report = MakeButtonFeatureReport(value);
    HANDLE device = joystickConnection.deviceHandle.load();
    // INVALID_HANDLE_VALUE doubles as the current-process pseudo-handle, so it is
    // never handed to the HID library: with no joystick open the send just fails.
    if (device == INVALID_HANDLE_VALUE) {
        return false;
    }
    CountJoystickWriteLocked();
    bool sent = HidD_SetFeature(device, &report, sizeof report) != FALSE;
    if (!sent) {
        joystickRefusedReport.store(true);
    }
    if (ReportTap tap = reportTap.load()) {
        tap(report, sent);
    }
    return sent;
}

bool JoystickRefusedAReport() {
    return joystickRefusedReport.load();
}

void ReportRefused() {
    PrintDeviceLine("failed HidD_SetFeature \n");
}
