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
// Each device's interface path names a regular file beside the DLLs, so that
// CreateFileA really opens it; hid.dll recognises a device handle by the file it
// refers to.
#pragma once

#include <windows.h>

#include "world/faults.h"
#include "world/hid_devices.h"

#include <string>
#include <vector>

namespace virtual_hid {

// A present device: its description is the world's (one interface each here);
// the path is a file beside the DLLs, under the padding folders, if any.
struct Device {
    world::HidDevice description;
    std::vector<std::string> padDirectories; // outermost first
    const world::HidInterface& Interface() const {
        return description.interfaces.front();
    }
    const std::string& Path() const {
        return description.interfaces.front().path;
    }
};

// GUID_DEVINTERFACE_HID, what HidD_GetHidGuid returns.
extern const GUID hidInterfaceGuid;
// The "HIDClass" device setup class.
extern const GUID hidClassGuid;

// Reads the configuration (beside the program or beside `self`, see above) and
// opens the shared call log there; the device files lie beside `self`.
// `dllName` goes into the log so that the two DLLs' lines can be told apart.
// Called from DllMain; uses kernel32 only.
void Load(HMODULE self, const char* dllName);

// The module beside which the world and the logs lie: nullptr for the program.
HMODULE FilesBeside();
void Unload();

const std::vector<Device>& Devices();
// The fault rules of the scenario, for the calls of both DLLs; guarded by the
// caller (FaultsLock).
world::FaultTable& Faults();
void FaultsLock(bool enter);
// Milliseconds since the DLL was loaded.
long SinceLoadMs();
HANDLE CallLog();

// The index of the device whose file `handle` refers to, or -1.
int DeviceOfHandle(HANDLE handle);

// "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" or "NULL".
std::string GuidText(const GUID* guid);

} // namespace virtual_hid
