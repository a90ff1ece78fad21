// The HID devices present on the machine, as setupapi.dll enumerates them and
// hid.dll talks to them: what each looks like (hardware ids, interfaces,
// top-level collection), the device-information sets and preparsed data handed
// out, and the rules by which every call answers (buffer sizes, record sizes,
// feature report length, what a driver restart leaves dead). The simulated
// Windows and the stand-in DLLs both answer from here, with plain values: they
// only convert their SDK records, keep their lock and clock, and log the
// record each call returns.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "world/call_log.h"
#include "world/faults.h"

namespace world {

// The Windows error codes these rules give, by value: the world does not
// include the SDK.
enum Error : unsigned long {
    errorNone = 0,
    errorInvalidFunction = 1,
    errorFileNotFound = 2,
    errorInvalidHandle = 6,
    errorInvalidData = 13,
    errorGenFailure = 31,
    errorInvalidParameter = 87,
    errorInsufficientBuffer = 122,
    errorNoMoreItems = 259,
    errorOperationAborted = 995,
    errorNoAccess = 998,
    errorDeviceNotConnected = 1167,
    errorInvalidUserBuffer = 1784,
};

// GUIDs as their 16 bytes in memory order (Data1..Data3 little-endian), which
// the fronts copy into and compare with their GUID records.
struct Guid {
    unsigned char bytes[16];
};
// GUID_DEVINTERFACE_HID {4D1E55B2-F16F-11CF-88CB-001111000030}: the interface
// class of HID collections, what HidD_GetHidGuid gives.
constexpr Guid hidInterfaceClass = {{0xB2, 0x55, 0x1E, 0x4D, 0x6F, 0xF1, 0xCF, 0x11, 0x88, 0xCB,
                                     0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
// {745A17A0-74D3-11D0-B6FE-00A0C90F57DA}: the "HIDClass" device setup class,
// the class of every device here (SP_DEVINFO_DATA.ClassGuid).
constexpr Guid hidSetupClass = {{0xA0, 0x17, 0x5A, 0x74, 0xD3, 0x74, 0xD0, 0x11, 0xB6, 0xFE, 0x00,
                                 0xA0, 0xC9, 0x0F, 0x57, 0xDA}};

constexpr unsigned long digcfAllClasses = 0x4;
constexpr unsigned long digcfDeviceInterface = 0x10;
constexpr unsigned long spdrpHardwareId = 1;
constexpr unsigned long regMultiSz = 7;
constexpr int64_t hidpStatusSuccess = 0x00110000;
constexpr int64_t hidpStatusInvalidPreparsedData = static_cast<int32_t>(0xC0110001u);
constexpr unsigned long spintActive = 1;

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

// What a handle refers to, as the front found out: an open HID interface (a
// device index and its interface), the front's always-present plain joystick,
// a file that is no HID device, or no open file at all.
constexpr int handleInvalid = -3;
constexpr int handleNotHid = -2;
constexpr int handlePlainJoystick = -1;
struct DeviceRef {
    int device = handleInvalid;
    int hidInterface = 0;
};

// A record the caller passed: whether there is one, and whether its cbSize is
// the size of its type.
struct RecordIn {
    bool given = false;
    bool sizeRight = false;
    uintptr_t reserved = 0; // its Reserved field, which this world fills
};

struct DeviceSlot {
    HidDevice device;
    bool present = true;
};

// The device tree with the sets and preparsed data handed out. Each call
// returns its record for the call log (result, last error, arguments); the
// front adds the clock and the thread, and sets the last error it names
// (ERROR_SUCCESS on success, as the real setupapi does).
class DeviceTree {
  public:
    void Clear();
    std::vector<DeviceSlot>& Devices() {
        return devices_;
    }
    int LiveSets() const {
        return static_cast<int>(sets_.size());
    }
    int LivePreparsed() const {
        return static_cast<int>(preparsed_.size());
    }
    // The interface a reference names, or null (not an open HID interface).
    const HidInterface* InterfaceOf(DeviceRef ref) const;

    // Sets and preparsed data are handed out as these opaque values, never 0.
    static uintptr_t SetHandle(int set) {
        return 0x5000 + 4 * static_cast<uintptr_t>(set);
    }
    static uintptr_t PreparsedHandle(int preparsed) {
        return 0x7000 + 16 * static_cast<uintptr_t>(preparsed);
    }

    // SetupDiGetClassDevsA: every device here is a present HID device on the
    // "HID" enumerator. A null class needs DIGCF_ALLCLASSES; the set holds the
    // devices for every class, or when the class asked is the HID one (the
    // interface class with DIGCF_DEVICEINTERFACE, the HIDClass setup class
    // without), on no enumerator or "HID" in any letter case. set: its handle, or 0.
    CallRecord ClassDevs(const unsigned char* classGuid, const char* enumerator,
                         unsigned long flags, FaultTable& faults, long now, uintptr_t& set);
    // SetupDiEnumDeviceInfo: the device record to fill in is device+1 in
    // DevInst and Reserved, ClassGuid the setup class.
    CallRecord EnumDevice(uintptr_t set, unsigned long index, RecordIn record, int& device);
    // SetupDiGetDeviceRegistryPropertyA for SPDRP_HARDWAREID (any other property
    // reads as absent). The type and the required size are reported whenever
    // they are known (required != 0), even when the buffer is short.
    CallRecord HardwareIds(uintptr_t set, RecordIn record, unsigned long property,
                           const void* buffer, unsigned long bufferSize, unsigned long& required,
                           const std::string*& ids, int& device);
    // SetupDiEnumDeviceInterfaces: of the interfaces of the class asked, of one
    // device or of the set. The interface record to fill: InterfaceClassGuid
    // the HID interface class, Flags SPINT_ACTIVE, Reserved `token`.
    CallRecord EnumInterface(uintptr_t set, RecordIn device, const unsigned char* classGuid,
                             unsigned long index, RecordIn record, uintptr_t& token);
    // SetupDiGetDeviceInterfaceDetailA, where the path starts pathOffset bytes
    // into the detail record. required: reported when != 0 (to a size query, no
    // buffer and size 0, and to a record of the right cbSize). On success the
    // path goes into the record and, when given, the device record is filled
    // as by EnumDevice.
    CallRecord InterfaceDetail(uintptr_t set, RecordIn interfaceRecord, RecordIn detail,
                               unsigned long pathOffset, unsigned long detailSize,
                               RecordIn deviceRecord, unsigned long& required,
                               const std::string*& path, int& device);
    CallRecord DestroySet(uintptr_t set);

    // HidD_GetPreparsedData on a handle (the front's own number for it, as
    // `handle`) that refers to `ref`, checked at `now`: a driver restart leaves
    // the handles checked before it dead. preparsed: its handle, or 0.
    CallRecord GetPreparsed(uint64_t handle, DeviceRef ref, bool havePointer, long now,
                            uintptr_t& preparsed);
    CallRecord FreePreparsed(uintptr_t preparsed);
    // HidP_GetCaps: on success `caps` is the interface the caller's HIDP_CAPS
    // describes (see FillCaps).
    CallRecord GetCaps(uintptr_t preparsed, bool haveCaps, const HidInterface*& caps);
    // HidD_SetFeature; `completed` false: the write was cancelled in the driver.
    CallRecord SetFeature(uint64_t handle, DeviceRef ref, const unsigned char* bytes,
                          unsigned long length, bool completed, FaultTable& faults, long now);

  private:
    struct Set {
        std::vector<int> members;
    };
    // Each device handle seen: its number in the log and when it was checked.
    struct Handle {
        int number;
        long checkedAt;
    };
    const Set* SetOf(uintptr_t set) const;
    int MemberOf(const Set* set, RecordIn record) const;
    Handle& HandleOf(uint64_t handle);

    std::vector<DeviceSlot> devices_;
    std::map<uintptr_t, Set> sets_;
    std::map<uintptr_t, DeviceRef> preparsed_; // what each belongs to
    int setsMade_ = 0;
    int preparsedMade_ = 0;
    std::map<uint64_t, Handle> handles_;
};

} // namespace world
