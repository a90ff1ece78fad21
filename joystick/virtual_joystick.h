// The virtual HID joystick: the open device and the feature report that sets its
// buttons.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/diagnostics.h"
#include "platform/win32.h"

// The open virtual joystick. Held from a successful Init_ZUR_GP until
// Destroy_ZUR_GP; a field not held is nullptr or INVALID_HANDLE_VALUE.
struct JoystickConnection {
    char* devicePath;                 // 260-byte heap buffer, touched by the worker only
    std::atomic<HANDLE> deviceHandle; // write handle; the timer thread sends on it too
};

extern JoystickConnection joystickConnection;
// Set when the open joystick refuses a report; cleared when one is opened.
extern std::atomic<bool> joystickRefusedReport;

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

// Shown each report written to the joystick and whether it was taken, under the
// joystick lock, so in the order the reports were written; set only by the console
// runner.
using ReportTap = void (*)(const ButtonFeatureReport& report, bool taken);
extern std::atomic<ReportTap> reportTap;

// Finds the virtual joystick among the present HID devices, checks that it is a
// joystick and opens it for writing into joystickConnection. 1 when it is open.
int Init_ZUR_GP();

// Closes the joystick and releases the connection; safe to call when none is held.
void Destroy_ZUR_GP();

// Destroy_ZUR_GP with one last report, written before any other thread can write.
void DestroyJoystickWithLastReport(int32_t lastValue);

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

// Sends one button value to the joystick. A refused report, or one with no
// joystick open, prints "failed HidD_SetFeature \n" and is otherwise ignored.
void SendButtonReport(int32_t value);

// Reports come from the worker and from the multimedia timer thread, and the
// joystick is closed by the worker or, when the worker is stuck in the capture
// library, by the stop sequence. One lock orders them: a report is decided and
// written under it, and a close gives the handle up under it, so that the last
// report on a handle is the one the closer sent and nothing follows it. The lock is
// held across one HidD_SetFeature at most (a short synchronous write), never across
// a pause, the capture library or a wait.
void LockJoystick();
void UnlockJoystick();
// With the lock held: writes one report; false when no joystick is open or it
// refused the report (the caller prints the failure line once unlocked).
bool WriteButtonReportLocked(int32_t value);
// With the lock held: changes with every report written and whenever a joystick
// is opened or given up, so that a click ends only while its own report is the
// joystick's last: not on another connection, and not in the middle of a click
// that began since.
uint32_t JoystickSerialLocked();
void CountJoystickWriteLocked();
// Makes an opened and accepted handle the joystick.
void AttachJoystick(HANDLE device);
// Gives the joystick's handle up and returns it (INVALID_HANDLE_VALUE when none was
// open); with lastValue, that report is written first, in the same step.
HANDLE DetachJoystick(const int32_t* lastValue);
// DetachJoystick for the stop of a worker that does not return: when the lock is
// not free within the given number of 1 ms attempts (a report that its driver
// never completes holds it), nothing is given up and INVALID_HANDLE_VALUE is
// returned.
HANDLE DetachJoystickIfFree(const int32_t* lastValue, int attempts);

// Prints the line of a refused report.
void ReportRefused();

// True once the open joystick refused a report (its driver was restarted or the
// device went away), until another joystick is opened: the connection is lost.
bool JoystickRefusedAReport();
