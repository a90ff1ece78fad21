#include "joystick/virtual_joystick.h"
#include "platform/event_log.h"

std::atomic<ReportTap> reportTap{nullptr};

ButtonFeatureReport MakeButtonFeatureReport(int32_t value) {
    ButtonFeatureReport report = {};
    report.buttonsLow = static_cast<uint8_t>((value & 0x0F) << 4);
    report.buttonsHigh = static_cast<uint8_t>((value & 0xFF0) >> 4);
    return report;
}

void PrintIfRefused(int outcome) {
    if (outcome == reportRefused) {
        PrintDeviceLine("failed HidD_SetFeature \n");
        if (DWORD error = joystickConnection.refusalToLog.exchange(0)) {
            LogJoystickRefused(error);
        }
    }
}
