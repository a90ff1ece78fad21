// Arbitrary sequences of button states, pauses and late callbacks of earlier
// timers, in any mode: in modes 0 to 2 every report carries one of the
// configuration's three values, a press never gives more than one click, a long
// click never comes before the button was held for 800 ms, and in follow mode an
// up state always leaves the button up.
#include <cstdint>
#include <vector>

#include "bridge/button_masks.h"
#include "joystick/virtual_joystick.h"
#include "tests/process_state.h"
#include "sim/sim.h"

namespace {

void Check(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

int Value(const sim::Report& report) {
    return (report.bytes[3] >> 4) | (report.bytes[4] << 4);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) {
        return 0;
    }
    sim::Reset();
    int32_t mode = data[0] % 4;
    int32_t button = 1 + data[1] % 7;
    int32_t inverted = data[2] % 2;
    int32_t pulseMs = 1 + data[2] / 2;
    ResetProcessState();
    joystickConnection.deviceHandle.store(sim::OpenJoystickHandle());
    ComputeButtonMasks(mode, button, inverted);
    const int32_t press = buttonMasks.pressMask.load();
    const int32_t second = buttonMasks.secondMask.load();
    const int32_t idle = buttonMasks.idleMask.load();

    size_t seen = 0;
    int clicksThisPress = 0;
    uint32_t pressedAt = 0;
    for (size_t i = 3; i < size; ++i) {
        uint8_t op = data[i];
        bool wasLatched = buttonLatched.load() != 0;
        GpioState state = 0;
        switch (op % 8) {
        case 0:
        case 1:
        case 2:
            state = gpioButtonDown;
            break;
        case 3:
        case 4:
            state = gpioButtonUp;
            break;
        case 5:
            state = static_cast<GpioState>(op) - 128; // anything else
            break;
        case 6:
            sim::Advance(op * 4u); // up to a second: timers fall due
            break;
        case 7:
            // A callback of an earlier timer arriving late.
            if (op / 8 != armedPress.load()) {
                LongPressTimerProc(op / 8, 0, op / 8, 0, 0);
            }
            break;
        }
        if (op % 8 <= 5) {
            int result = TranslateButtonState(state, mode, button, pulseMs);
            Check(result == 0 || mode > 2);
        }
        if (!wasLatched && buttonLatched.load() != 0) {
            clicksThisPress = 0; // a new press
            pressedAt = sim::Now();
        }
        std::vector<sim::Report> reports = sim::Reports(seen);
        for (const sim::Report& report : reports) {
            int value = Value(report);
            Check(mode > 2 || value == press || value == second || value == idle);
            Check(mode != 2 || value != second || value == press || value == idle ||
                  report.time >= pressedAt + 800);
            if (mode != 0 && value != idle) {
                ++clicksThisPress;
            }
        }
        seen += reports.size();
        Check(mode == 0 || mode > 2 || clicksThisPress <= 1);
        if (mode == 0 && state == gpioButtonUp && seen > 0) {
            Check(Value(sim::Reports(seen - 1)[0]) == idle);
        }
    }
    // Let every pending timer fire: still at most one click for the last press.
    sim::Advance(2000);
    for (const sim::Report& report : sim::Reports(seen)) {
        Check(mode != 2 || Value(report) != second || Value(report) == idle ||
              report.time >= pressedAt + 800);
        if (mode != 0 && Value(report) != idle) {
            ++clicksThisPress;
        }
    }
    Check(mode == 0 || mode > 2 || clicksThisPress <= 1);
    return 0;
}
