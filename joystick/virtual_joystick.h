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

// Finds the virtual joystick among the present HID devices, checks that it is a
// joystick and opens it for writing into joystickConnection. 1 when it is open.
int Init_ZUR_GP();

// Closes the joystick and releases the connection; safe to call when none is held.
void Destroy_ZUR_GP();

// True while a path buffer or a device handle is held.
bool JoystickConnectionHeld();

constexpr const char joystickHardwareId[] = "HID\\ZurVirtualHidDevice";

// Searches the devices of an interface class for one whose first hardware id
// (the property read) equals wanted, ignoring ASCII case. Returns 0 when found,
// handing the device set and the device's record to the caller, who then owns the
// set; otherwise a Windows error code (ERROR_NO_MORE_ITEMS when no device matched).
DWORD FindDeviceByHardwareId(DWORD property, const GUID* interfaceClass, const char* wanted,
                             HDEVINFO* outSet, SP_DEVINFO_DATA* outDevice, DWORD flags);

// Opens one interface of the matched device into joystickConnection and keeps it
// if it is a joystick. 1 when the interface was opened and accepted.
int OpenDeviceInterface(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* deviceInterface);

// True when the device's top-level collection is a joystick (generic desktop
// page, joystick usage).
bool IsJoystickCollection(HANDLE device);

// Writes one diagnostic line to standard output at once: a service has no console,
// but the console runner and a service started by hand show these lines.
void PrintDeviceLine(const char* line);

// Sends one button value to the joystick. A refused report, or one with no
// joystick open, prints "failed HidD_SetFeature \n" and is otherwise ignored.
void SendButtonReport(int32_t value);
