// The virtual HID devices that the hid.dll and setupapi.dll stand-ins present.
//
// Both DLLs read the same file, virtual_hid.config beside them (see README.md),
// and append to the same call log, virtual_hid.log. Without a configuration
// there is one device: the virtual joystick with the hardware ids
// "HID\ZurVirtualHidDevice", "HID_DEVICE_UP:0001_U:0004", "HID_DEVICE".
//
// Each device's interface path names a regular file in the DLLs' folder, so that
// CreateFileA really opens it; hid.dll recognises a device handle by the file it
// refers to.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace virtual_hid {

struct Device {
    bool hasHardwareIds = true;
    std::string hardwareIds;     // REG_MULTI_SZ: each id NUL-terminated, then one more NUL
    USHORT usagePage = 1;        // generic desktop
    USHORT usage = 4;            // joystick
    bool openFails = false;      // the path names a file that does not exist
    bool preparsedFails = false; // HidD_GetPreparsedData refuses
    bool capsFails = false;      // HidP_GetCaps refuses
    bool featureFails = false;   // HidD_SetFeature refuses
    long restartAtMs = -1;       // its driver restarts then: handles opened before are dead
    std::string path;            // "\\?\<folder>\hid#<name>#<n>#{hid interface class}"
    std::vector<std::string> padDirectories; // folders that `pad` puts in the path, outermost first
};

// GUID_DEVINTERFACE_HID, what HidD_GetHidGuid returns.
extern const GUID hidInterfaceGuid;
// The "HIDClass" device setup class.
extern const GUID hidClassGuid;

// Reads the configuration beside `self` and opens the shared call log.
// `dllName` goes into the log so that the two DLLs' lines can be told apart.
// Called from DllMain; uses kernel32 only.
void Load(HMODULE self, const char* dllName);
void Unload();

const std::vector<Device>& Devices();
// Milliseconds since the DLL was loaded.
long SinceLoadMs();
HANDLE CallLog();

// The index of the device whose file `handle` refers to, or -1.
int DeviceOfHandle(HANDLE handle);

// "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" or "NULL".
std::string GuidText(const GUID* guid);

} // namespace virtual_hid
