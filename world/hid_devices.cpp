#include "world/hid_devices.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace world {

std::string MultiSz(std::initializer_list<std::string_view> strings) {
    std::string multi;
    for (std::string_view string : strings) {
        multi.append(string);
        multi.push_back('\0');
    }
    multi.push_back('\0');
    return multi;
}

std::string MultiSzFromList(std::string_view list) {
    std::string multi;
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find('|', start);
        if (end == std::string_view::npos) {
            end = list.size();
        }
        if (end > start) {
            multi.append(list.substr(start, end - start));
            multi.push_back('\0');
        }
        start = end + 1;
    }
    if (multi.empty()) {
        multi.push_back('\0');
    }
    multi.push_back('\0');
    return multi;
}

HidDevice VirtualJoystick() {
    HidDevice device;
    device.hardwareIds =
        MultiSz({"HID\\ZurVirtualHidDevice", "HID_DEVICE_UP:0001_U:0004", "HID_DEVICE"});
    device.interfaces.push_back(HidInterface{});
    return device;
}

std::string InterfaceFileName(const HidDevice& device, size_t index) {
    std::string_view id = device.hasHardwareIds ? device.hardwareIds.c_str() : "";
    if (id.size() >= 4 && (id[0] == 'H' || id[0] == 'h') && (id[1] == 'I' || id[1] == 'i') &&
        (id[2] == 'D' || id[2] == 'd') && id[3] == '\\') {
        id.remove_prefix(4);
    }
    std::string name = id.empty() ? "hid#noid" : "hid#";
    for (const char c : id) {
        const bool keep =
            (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '&' || c == '-';
        // Characters that a file name cannot hold become '_'.
        name += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a')
                : c == '\\'            ? '#'
                : keep                 ? c
                                       : '_';
    }
    std::string guid = GuidText(hidInterfaceClass.bytes);
    for (char& c : guid) {
        c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    return name + "#" + std::to_string(index) + "#" + guid;
}

namespace {

bool SameGuid(const unsigned char* guid, const Guid& known) {
    return guid != nullptr && std::memcmp(guid, known.bytes, sizeof known.bytes) == 0;
}

CallRecord Answer(const char* call, unsigned long error) {
    return Called(call, error == errorNone ? 1 : 0, error);
}

// The world's numbers for sets in the log: 1, 2, ... (0: none).
int64_t SetNumber(uintptr_t set) {
    return set >= 0x5000 ? static_cast<int64_t>((set - 0x5000) / 4) : 0;
}

} // namespace

void DeviceTree::Clear() {
    *this = DeviceTree{};
}

const HidInterface* DeviceTree::InterfaceOf(DeviceRef ref) const {
    static const HidInterface plainJoystick;
    if (ref.device == handlePlainJoystick) {
        return &plainJoystick;
    }
    if (ref.device < 0 || static_cast<size_t>(ref.device) >= devices_.size()) {
        return nullptr;
    }
    const std::vector<HidInterface>& interfaces = devices_[ref.device].device.interfaces;
    const size_t index = static_cast<size_t>(ref.hidInterface);
    return index < interfaces.size() ? &interfaces[index] : nullptr;
}

const DeviceTree::Set* DeviceTree::SetOf(uintptr_t set) const {
    const auto it = sets_.find(set);
    return it == sets_.end() ? nullptr : &it->second;
}

// A device record filled by EnumDevice holds the device index + 1.
int DeviceTree::MemberOf(const Set* set, RecordIn record) const {
    const int device = static_cast<int>(record.reserved) - 1;
    const bool member =
        set != nullptr && record.given && record.sizeRight &&
        std::find(set->members.begin(), set->members.end(), device) != set->members.end();
    return member ? device : -1;
}

DeviceTree::Handle& DeviceTree::HandleOf(uint64_t handle) {
    return handles_.emplace(handle, Handle{static_cast<int>(handles_.size()) + 1, -1})
        .first->second;
}

CallRecord DeviceTree::ClassDevs(const unsigned char* classGuid, const char* enumerator,
                                 unsigned long flags, FaultTable& faults, long now,
                                 uintptr_t& set) {
    set = 0;
    const bool allClasses = (flags & digcfAllClasses) != 0;
    const std::string_view name = enumerator != nullptr ? enumerator : "HID";
    const bool hidEnumerator = name.size() == 3 && (name[0] | 0x20) == 'h' &&
                               (name[1] | 0x20) == 'i' && (name[2] | 0x20) == 'd';
    // With DIGCF_DEVICEINTERFACE the GUID names an interface class, otherwise a
    // setup class.
    const bool hidAsked = SameGuid(
        classGuid, (flags & digcfDeviceInterface) != 0 ? hidInterfaceClass : hidSetupClass);
    unsigned long error = faults.Fail("SetupDiGetClassDevsA", now, 0, errorInvalidParameter).error;
    if (error == errorNone && classGuid == nullptr && !allClasses) {
        error = errorInvalidParameter;
    }
    Set members;
    for (size_t d = 0; (allClasses || hidAsked) && hidEnumerator && d < devices_.size(); ++d) {
        if (devices_[d].present) {
            members.members.push_back(static_cast<int>(d));
        }
    }
    if (error == errorNone) {
        set = SetHandle(++setsMade_);
        sets_.emplace(set, members);
    }
    char hexFlags[16];
    std::snprintf(hexFlags, sizeof hexFlags, "0x%lx", flags);
    return Answer("SetupDiGetClassDevsA", error)
        .Args("class", GuidText(classGuid), "enumerator",
              enumerator != nullptr ? enumerator : "null", "flags", hexFlags, "set", SetNumber(set),
              "devices", set != 0 ? static_cast<int64_t>(members.members.size()) : 0, "live_sets",
              LiveSets());
}

CallRecord DeviceTree::EnumDevice(uintptr_t set, unsigned long index, RecordIn record,
                                  int& device) {
    const Set* members = SetOf(set);
    const unsigned long error = members == nullptr                 ? errorInvalidHandle
                                : !record.given                    ? errorInvalidParameter
                                : !record.sizeRight                ? errorInvalidUserBuffer
                                : index >= members->members.size() ? errorNoMoreItems
                                                                   : errorNone;
    device = error == errorNone ? members->members[index] : -1;
    return Answer("SetupDiEnumDeviceInfo", error)
        .Args("set", SetNumber(set), "index", index, "device", device);
}

CallRecord DeviceTree::HardwareIds(uintptr_t set, RecordIn record, unsigned long property,
                                   const void* buffer, unsigned long bufferSize,
                                   unsigned long& required, const std::string*& ids, int& device) {
    required = 0;
    ids = nullptr;
    const Set* members = SetOf(set);
    device = MemberOf(members, record);
    const HidDevice* hid = device >= 0 ? &devices_[device].device : nullptr;
    unsigned long error = members == nullptr                     ? errorInvalidHandle
                          : hid == nullptr                       ? errorInvalidParameter
                          : buffer == nullptr && bufferSize != 0 ? errorInvalidData
                          // Only the hardware ids are stored; any other property reads as absent.
                          : property != spdrpHardwareId || !hid->hasHardwareIds
                              ? errorInvalidData
                              : hid->propertyError;
    if (error == errorNone) {
        // The size is reported even when the buffer is too small, so one
        // variable can serve as both buffer size and required size.
        ids = &hid->hardwareIds;
        required = static_cast<unsigned long>(ids->size());
        error = buffer == nullptr || bufferSize < required ? errorInsufficientBuffer : errorNone;
    }
    return Answer("SetupDiGetDeviceRegistryPropertyA", error)
        .Args("set", SetNumber(set), "device", device, "property", property, "size", bufferSize,
              "required", required, "ids", ids != nullptr ? *ids : "");
}

CallRecord DeviceTree::EnumInterface(uintptr_t set, RecordIn device, const unsigned char* classGuid,
                                     unsigned long index, RecordIn record, uintptr_t& token) {
    token = 0;
    const Set* members = SetOf(set);
    const int d = device.given ? MemberOf(members, device) : -1;
    unsigned long error = members == nullptr                                ? errorInvalidHandle
                          : classGuid == nullptr || (device.given && d < 0) ? errorInvalidParameter
                          : !record.given || !record.sizeRight              ? errorInvalidUserBuffer
                                                                            : errorNone;
    // The interfaces of the class asked (every one here is a HID collection),
    // of that device or of every device in the set, in order.
    unsigned long seen = 0;
    for (size_t m = 0; error == errorNone && SameGuid(classGuid, hidInterfaceClass) &&
                       m < members->members.size();
         ++m) {
        const int member = members->members[m];
        const size_t count = devices_[member].device.interfaces.size();
        for (size_t i = 0; (!device.given || member == d) && i < count; ++i, ++seen) {
            token = seen == index ? static_cast<uintptr_t>(member) * 256 + i + 1 : token;
        }
    }
    error = error == errorNone && token == 0 ? errorNoMoreItems : error;
    return Answer("SetupDiEnumDeviceInterfaces", error)
        .Args("set", SetNumber(set), "device", device.given ? std::to_string(d) : "null", "class",
              GuidText(classGuid), "index", index);
}

CallRecord DeviceTree::InterfaceDetail(uintptr_t set, RecordIn interfaceRecord, RecordIn detail,
                                       unsigned long pathOffset, unsigned long detailSize,
                                       RecordIn deviceRecord, unsigned long& required,
                                       const std::string*& path, int& device) {
    const Set* members = SetOf(set);
    // An interface record filled by EnumInterface holds device * 256 + interface + 1.
    const uintptr_t token = interfaceRecord.sizeRight ? interfaceRecord.reserved : 0;
    const RecordIn owner{true, true, token != 0 ? (token - 1) / 256 + 1 : 0};
    device = MemberOf(members, owner);
    const HidInterface* hid =
        device >= 0 ? InterfaceOf({device, static_cast<int>((token - 1) % 256)}) : nullptr;
    required = hid != nullptr ? pathOffset + static_cast<unsigned long>(hid->path.size()) + 1 : 0;
    // A size query has no record and size 0; cbSize is the size of the fixed
    // part (5 on 32-bit), not of the buffer.
    const unsigned long error =
        members == nullptr      ? errorInvalidHandle
        : hid == nullptr        ? errorInvalidParameter
        : hid->detailError != 0 ? hid->detailError
        : !detail.given     ? (detailSize == 0 ? errorInsufficientBuffer : errorInvalidUserBuffer)
        : !detail.sizeRight ? errorInvalidUserBuffer
        : detailSize < required                         ? errorInsufficientBuffer
        : deviceRecord.given && !deviceRecord.sizeRight ? errorInvalidUserBuffer
                                                        : errorNone;
    const bool sizeReported = hid != nullptr && hid->detailError == 0 &&
                              (detail.given ? detail.sizeRight : detailSize == 0);
    required = sizeReported ? required : 0;
    path = error == errorNone ? &hid->path : nullptr;
    return Answer("SetupDiGetDeviceInterfaceDetailA", error)
        .Args("set", SetNumber(set), "device", device, "size", detailSize, "required", required,
              "path", hid != nullptr ? hid->path : "");
}

CallRecord DeviceTree::DestroySet(uintptr_t set) {
    const bool destroyed = sets_.erase(set) != 0;
    return Answer("SetupDiDestroyDeviceInfoList", destroyed ? errorNone : errorInvalidHandle)
        .Args("set", SetNumber(set), "live_sets", LiveSets());
}

CallRecord DeviceTree::GetPreparsed(uint64_t handle, DeviceRef ref, bool havePointer, long now,
                                    uintptr_t& preparsed) {
    preparsed = 0;
    const HidInterface* hid = InterfaceOf(ref);
    // The HID ioctl on a handle that is not open (or no file) fails as the
    // handle does; on a file that is no HID device as an ioctl it does not know.
    const unsigned long error = ref.device == handleInvalid ? errorInvalidHandle
                                : hid == nullptr            ? errorInvalidFunction
                                : !havePointer              ? errorNoAccess
                                : hid->preparsedDataFails   ? errorGenFailure
                                                            : errorNone;
    const int number = hid != nullptr ? HandleOf(handle).number : 0;
    if (error == errorNone) {
        preparsed = PreparsedHandle(++preparsedMade_);
        preparsed_.emplace(preparsed, ref);
        HandleOf(handle).checkedAt = now;
    }
    return Answer("HidD_GetPreparsedData", error)
        .Args("handle", number, "device", ref.device, "live_preparsed", LivePreparsed());
}

CallRecord DeviceTree::FreePreparsed(uintptr_t preparsed) {
    const bool freed = preparsed_.erase(preparsed) != 0;
    return Answer("HidD_FreePreparsedData", freed ? errorNone : errorInvalidParameter)
        .Args("live_preparsed", LivePreparsed());
}

CallRecord DeviceTree::GetCaps(uintptr_t preparsed, bool haveCaps, const HidInterface*& caps) {
    const auto it = preparsed_.find(preparsed);
    const HidInterface* hid = it == preparsed_.end() ? nullptr : InterfaceOf(it->second);
    caps = hid != nullptr && haveCaps && !hid->capsFail ? hid : nullptr;
    return Called("HidP_GetCaps",
                  caps != nullptr ? hidpStatusSuccess : hidpStatusInvalidPreparsedData)
        .Args("page", caps != nullptr ? caps->usagePage : 0, "usage",
              caps != nullptr ? caps->usage : 0, "feature_length",
              caps != nullptr ? caps->featureLength : 0);
}

CallRecord DeviceTree::SetFeature(uint64_t handle, DeviceRef ref, const unsigned char* bytes,
                                  unsigned long length, bool completed, FaultTable& faults,
                                  long now) {
    const HidInterface* hid = InterfaceOf(ref);
    const bool present =
        ref.device == handlePlainJoystick || (hid != nullptr && devices_[ref.device].present);
    const Handle seen = hid != nullptr ? HandleOf(handle) : Handle{0, -1};
    // A handle that was never checked counts as opened now.
    const long checked = seen.checkedAt >= 0 ? seen.checkedAt : now;
    // Every call counts in the fault table; its rule fails only what the
    // device would have accepted.
    const unsigned long fault = faults.Fail("HidD_SetFeature", now, 0, errorGenFailure).error;
    const unsigned long error =
        !completed ? errorOperationAborted
        // Also a handle that was closed, or to a device unplugged since.
        : !present                                      ? errorInvalidHandle
        : bytes == nullptr                              ? errorNoAccess
        : length != hid->featureLength || bytes[0] != 0 ? errorInvalidParameter
        : hid->featureFails                             ? errorGenFailure
        : hid->restartAt >= 0 && now >= hid->restartAt && checked < hid->restartAt
            ? errorDeviceNotConnected
            : fault;
    return Answer("HidD_SetFeature", error)
        .Args("handle", seen.number, "device", ref.device, "length", length, "bytes",
              bytes != nullptr ? HexBytes(bytes, length) : "null");
}

} // namespace world
