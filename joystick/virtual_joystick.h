// The virtual HID joystick: the open device and the feature report that sets its
// buttons.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/diagnostics.h"
#include "platform/win32.h"

// The virtual joystick and everything about it, with one owner: the functions of
// joystick_connection.cpp. Held from a successful open until its close; a field not
// held is nullptr or INVALID_HANDLE_VALUE.
//
// Reports come from the worker and from the multimedia timer thread, and the
// joystick is closed by the worker or, when the worker is stuck in the capture
// library, by the stop sequence. The lock orders them: a report is decided and
// written under it, and a close gives the handle up under it, so that the last
// report on a handle is the one the closer sent and nothing follows it. The lock is
// held across one HidD_SetFeature at most, never across a pause, the capture
// library or a wait.
struct JoystickConnection {
    SRWLOCK lock;
    std::atomic<HANDLE> deviceHandle; // write handle; the timer thread sends on it too
    char* devicePath;                 // 260-byte heap buffer, touched by the worker only
    // Changes with every report written and whenever a joystick is opened or given
    // up, so that a click ends only while its own report is the joystick's last:
    // not on another connection, and not in the middle of a click that began since.
    // Guarded by the lock.
    uint32_t serial;
    std::atomic<bool> refused; // the open joystick refused a report
    // The thread inside HidD_SetFeature, 0 when none: a stop cancels that write.
    std::atomic<DWORD> writer;
    // Set by the stop of a worker that did not return: from then on nothing is
    // attached, so that a worker that comes back from the library cannot open a
    // joystick and press a button after stopped was reported.
    std::atomic<bool> givenUp;
    // The error of the first report the open joystick refused, until it is logged
    // outside the lock (the Event Log is a call to another process).
    std::atomic<DWORD> refusalToLog{0};
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

// Shown each report written to the joystick and whether it was taken, under the
// joystick lock, so in the order the reports were written; set only by the console
// runner.
using ReportTap = void (*)(const ButtonFeatureReport& report, bool taken);
extern std::atomic<ReportTap> reportTap;

// Finds the virtual joystick among the present HID devices, checks that it is a
// joystick and opens it for writing. 1 when it is open.
int JoystickOpen();
// What became of a report.
constexpr int reportTaken = 0;
constexpr int reportRefused = 1;    // the joystick refused it
constexpr int reportNoJoystick = 2; // none was open: nothing was sent
// With the lock held: writes one report (the caller prints the failure line of a
// refused one once unlocked, with PrintIfRefused).
int JoystickWriteLocked(int32_t value);
// Gives the joystick up, with lastValue (when given) as its last report, written
// before any other thread can write; closes the handle, printing
// " Destroy_ZUR_GP: OK \n" or " failed CloseHandle \n" (also when none was open),
// and releases the path. For the worker and --check.
void JoystickClose(const int32_t* lastValue);
// The close for the stop of a worker that does not return. A report that its driver
// does not complete holds the lock: its write is cancelled (CancelSynchronousIo on
// the writing thread), and once the lock is had, lastValue is the last report and
// the handle is closed; nothing written later reaches the joystick. When the lock
// is not had within deadlineMs (on the tick count: a driver that ignores the
// cancel), nothing is given up. True only when an open joystick was let go of, so
// that the Event Log says so only then. The path stays the worker's.
bool JoystickLetGoFromStop(int32_t lastValue, DWORD deadlineMs);

// The entry points by their own names.
int Init_ZUR_GP();     // JoystickOpen
void Destroy_ZUR_GP(); // JoystickClose without a last report

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
// page, joystick usage) whose feature report is the 5-byte button report.
bool IsJoystickCollection(HANDLE device);

// Sends one button value to the joystick. A report the joystick refuses prints
// "failed HidD_SetFeature \n" and is otherwise ignored; with no joystick open
// nothing is sent and nothing printed.
void SendButtonReport(int32_t value);

void LockJoystick();
void UnlockJoystick();
uint32_t JoystickSerialLocked();
// Makes an opened and accepted handle the joystick (the open's last step); false,
// and the handle is not taken, once the joystick was given up by a stop.
bool AttachJoystick(HANDLE device);

// Prints the line of a refused report, for that outcome only.
void PrintIfRefused(int outcome);

// True once the open joystick refused a report (its driver was restarted or the
// device went away), until another joystick is opened: the connection is lost.
bool JoystickRefusedAReport();
