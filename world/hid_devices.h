// The HID devices present on the machine, as setupapi.dll enumerates them and
// hid.dll talks to them: what each looks like (hardware ids, interfaces,
// top-level collection) and the rules by which the calls answer (buffer
// sizes, feature report length, what a driver restart leaves dead). The
// simulated Windows and the stand-in DLLs both answer from here.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace world {

// The Windows error codes these rules give, by value: the world does not
// include the SDK.
enum Error : unsigned long {
    errorNone = 0,
    errorFileNotFound = 2,
    errorInvalidData = 13,
    errorGenFailure = 31,
    errorInvalidParameter = 87,
    errorInsufficientBuffer = 122,
    errorNoMoreItems = 259,
    errorDeviceNotConnected = 1167,
    errorInvalidUserBuffer = 1784,
};

// The device has one feature report, without report ids: byte 0 is the id 0.
constexpr unsigned long featureReportLength = 5;

struct HidInterface {
    std::string path;                // filled by the front end when empty
    unsigned long detailError = 0;   // SetupDiGetDeviceInterfaceDetailA fails with it
    unsigned long openError = 0;     // CreateFileA fails with it
    unsigned short usagePage = 1;    // generic desktop
    unsigned short usage = 4;        // joystick
    bool preparsedDataFails = false; // HidD_GetPreparsedData refuses
    bool capsFail = false;           // HidP_GetCaps refuses
    bool featureFails = false;       // HidD_SetFeature refuses every report
    long restartAt = -1;             // the driver restarts then: handles opened before die
    long padding = 0;                // the path is this much longer (folders of 'x')
    // What HidP_GetCaps gives as FeatureReportByteLength; a report of another
    // length is refused.
    unsigned long featureLength = featureReportLength;
};

struct HidDevice {
    std::string hardwareIds; // the raw property: a multi-string, see MultiSz
    bool hasHardwareIds = true;
    unsigned long propertyError = 0; // reading the property fails with it
    std::vector<HidInterface> interfaces;
};

// "a\0b\0\0": strings each with its NUL, and the closing NUL.
std::string MultiSz(std::initializer_list<std::string_view> strings);
// The same from "a|b".
std::string MultiSzFromList(std::string_view list);

// The virtual joystick with its driver: ids "HID\ZurVirtualHidDevice",
// "HID_DEVICE_UP:0001_U:0004", "HID_DEVICE"; one interface, page 1, usage 4.
HidDevice VirtualJoystick();

// The file name of an interface's path, as Windows builds device paths:
// "hid#<first id without "HID\", lower case>#<index>#{hid interface class}".
std::string InterfaceFileName(const HidDevice& device, size_t index);

// SetupDiGetClassDevsA: every device here is a present HID device on the "HID"
// enumerator. The error (a null class needs DIGCF_ALLCLASSES), and whether the
// set holds the devices: for every class, or when the class asked is the HID one
// (the interface class with DIGCF_DEVICEINTERFACE, the HIDClass setup class
// without), on no enumerator or "HID" in any letter case.
unsigned long ClassQuery(bool classGiven, bool allClasses, bool hidClassAsked,
                         const char* enumerator, bool& holdsDevices);
// SetupDiEnumDeviceInfo / SetupDiEnumDeviceInterfaces: the record's cbSize, then the end.
unsigned long EnumError(bool recordSizeRight, size_t index, size_t count);
// SetupDiGetDeviceRegistryPropertyA for SPDRP_HARDWAREID (hardwareIds false: any
// other property). The required size is reported even when the buffer is short.
unsigned long PropertyError(const HidDevice& device, bool hardwareIds, bool haveBuffer,
                            unsigned long bufferSize, unsigned long& required);
// SetupDiGetDeviceInterfaceDetailA, where the path starts pathOffset bytes
// into the detail record.
unsigned long DetailError(const HidInterface& hid, unsigned long pathOffset, bool haveDetail,
                          bool recordSizeRight, unsigned long detailSize, unsigned long& required);
// HidD_SetFeature on a handle to `hid` opened (checked) at openedAt.
unsigned long FeatureError(const HidInterface& hid, const unsigned char* bytes,
                           unsigned long length, long openedAt, long now);

} // namespace world
