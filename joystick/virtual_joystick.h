// The virtual HID joystick: the open device and the feature report that sets its
// buttons.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/win32.h"

// The open virtual joystick. Held from a successful Init_ZUR_GP until
// Destroy_ZUR_GP; a field not held is nullptr or INVALID_HANDLE_VALUE.
struct JoystickConnection {
    char* devicePath;                 // 260-byte heap buffer, touched by the worker only
    std::atomic<HANDLE> deviceHandle; // write handle; the timer thread sends on it too
};

extern JoystickConnection joystickConnection;

constexpr uint32_t devicePathSize = 260;

// The 5-byte HID feature report that carries a button value: report id 0, two
// zero bytes, then the value shifted left by 4 as a little-endian 16-bit number.
struct ButtonFeatureReport {
    uint8_t reportId;
    uint8_t reserved[2];
    uint8_t buttonsLow;  // buttons 1 to 4 in bits 4 to 7
    uint8_t buttonsHigh; // buttons 5 to 12 in bits 0 to 7
};
static_assert(sizeof(ButtonFeatureReport) == 5, "the joystick expects exactly 5 bytes");

ButtonFeatureReport MakeButtonFeatureReport(int32_t value);

// Sends one button value to the joystick. A refused report, or one with no
// joystick open, prints "failed HidD_SetFeature \n" and is otherwise ignored.
void SendButtonReport(int32_t value);
