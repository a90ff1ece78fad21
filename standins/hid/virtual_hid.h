// The virtual HID devices that the hid.dll and setupapi.dll stand-ins present.
//
// The DLLs stand in for system DLLs, so they lie in System32 (a per-program Wine
// override makes the program under test load them instead of Wine's own). Both
// read the same file, world.scenario, beside the program when one lies there (a
// run that plays a scenario), else beside themselves (an installer's run, whose
// installed folder must hold only what was installed) (its device lines;
// see README.md), and append to the same call log, virtual_hid.log. Without
// device lines there is one device: the virtual joystick with the hardware ids
// "HID\ZurVirtualHidDevice", "HID_DEVICE_UP:0001_U:0004", "HID_DEVICE".
//
// The devices, sets, preparsed data and every rule are the world's
// (world/hid_devices.h); each DLL holds its own copy of the world, behind one
// lock. Each device's interface path names a regular file beside the DLLs, so
// that CreateFileA really opens it; hid.dll recognises a device handle by the
// file it refers to.
#pragma once

#include <windows.h>

#include "world/hid_devices.h"
#include "world/sdk_records.h"

namespace virtual_hid {

// Reads the configuration (beside the program or beside `self`, see above) and
// opens the shared call log there; the device files lie beside `self`.
// `dllName` goes into the log so that the two DLLs' records can be told apart.
// Called from DllMain; uses kernel32 only.
void Load(HMODULE self, const char* dllName);
// Logs the Unload record with `live` (live_sets or live_preparsed) and closes the log.
void Unload(const char* dllName, bool exiting, const char* live, int count);

// The module beside which the world and the logs lie: nullptr for the program.
HMODULE FilesBeside();
HANDLE CallLog();

// The world with its fault rules, entered and left around each call.
world::DeviceTree& EnterWorld();
void LeaveWorld();
world::FaultTable& Faults();
// Milliseconds since the DLL was loaded.
long SinceLoadMs();

// Ends a call: logs the world's record, leaves the world, sets the last error
// it names and returns its result.
int64_t Answer(world::CallRecord record);

// Makes sure each openable device's file exists and no file is left where a
// device is meant not to open.
void PrepareDeviceFiles();

// What `handle` refers to: the device whose file it is, another file, or no
// open file at all.
world::DeviceRef RefOfHandle(HANDLE handle);

} // namespace virtual_hid
