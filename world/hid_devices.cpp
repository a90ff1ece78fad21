#include "world/hid_devices.h"

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
    return name + "#" + std::to_string(index) + "#{4d1e55b2-f16f-11cf-88cb-001111000030}";
}

namespace {

bool SameGuid(const unsigned char* guid, const Guid& known) {
    return guid != nullptr && std::memcmp(guid, known.bytes, sizeof known.bytes) == 0;
}

CallRecord Answer(const char* call, unsigned long error) {
    return Called(call, error == errorNone ? 1 : 0, error);
}

// The world's numbers for sets and preparsed data in the log: 1, 2, ...
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

bool DeviceTree::Present(DeviceRef ref) const {
    return ref.device == handlePlainJoystick ||
           (InterfaceOf(ref) != nullptr && devices_[ref.device].present);
}

const DeviceTree::Set* DeviceTree::SetOf(uintptr_t set) const {
    const auto it = sets_.find(set);
    return it == sets_.end() ? nullptr : &it->second;
}

// A device record filled by EnumDevice holds the device index + 1.
int DeviceTree::MemberOf(const Set* set, RecordIn record) const {
    if (set == nullptr || !record.given || !record.sizeRight || record.reserved == 0) {
        return -1;
    }
    const int device = static_cast<int>(record.reserved - 1);
    for (const int member : set->members) {
        if (member == device) {
            return device;
        }
    }
    return -1;
}

int DeviceTree::HandleNumber(uint64_t handle) {
    const auto [it, added] =
        handles_.emplace(handle, Handle{static_cast<int>(handles_.size()) + 1, -1});
    return it->second.number;
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
    const bool hidAsked = SameGuid(classGuid, (flags & digcfDeviceInterface) != 0
                                                  ? hidInterfaceClass
                                                  : hidSetupClass);
    unsigned long error = faults.Fail("SetupDiGetClassDevsA", now, 0, errorInvalidParameter).error;
    if (error == errorNone && classGuid == nullptr && !allClasses) {
        error = errorInvalidParameter;
    }
    Set members;
    if (error == errorNone) {
        for (size_t d = 0; (allClasses || hidAsked) && hidEnumerator && d < devices_.size(); ++d) {
            if (devices_[d].present) {
                members.members.push_back(static_cast<int>(d));
            }
        }
        set = SetHandle(++setsMade_);
        sets_.emplace(set, members);
    }
    char hexFlags[16];
    std::snprintf(hexFlags, sizeof hexFlags, "0x%lx", flags);
    return Answer("SetupDiGetClassDevsA", error)
        .Arg("class", GuidText(classGuid))
        .Arg("enumerator", enumerator != nullptr ? enumerator : "null")
        .Arg("flags", hexFlags)
        .Arg("set", SetNumber(set))
        .Arg("devices", static_cast<int64_t>(members.members.size()))
        .Arg("live_sets", LiveSets());
}

CallRecord DeviceTree::EnumDevice(uintptr_t set, unsigned long index, RecordIn record,
                                  int& device) {
    device = -1;
    const Set* members = SetOf(set);
    const unsigned long error = members == nullptr           ? errorInvalidHandle
                                : !record.given              ? errorInvalidParameter
                                : !record.sizeRight          ? errorInvalidUserBuffer
                                : index >= members->members.size() ? errorNoMoreItems
                                                             : errorNone;
    if (error == errorNone) {
        device = members->members[index];
    }
    return Answer("SetupDiEnumDeviceInfo", error)
        .Arg("set", SetNumber(set))
        .Arg("index", index)
        .Arg("device", device >= 0 ? std::to_string(device) : "none");
}

CallRecord DeviceTree::HardwareIds(uintptr_t set, RecordIn record, unsigned long property,
                                   const void* buffer, unsigned long bufferSize,
                                   unsigned long& required, const std::string*& ids,
                                   int& device) {
    required = 0;
    ids = nullptr;
    const Set* members = SetOf(set);
    const int d = MemberOf(members, record);
    device = d;
    unsigned long error = errorNone;
    if (members == nullptr) {
        error = errorInvalidHandle;
    } else if (d < 0) {
        error = errorInvalidParameter;
    } else if (buffer == nullptr && bufferSize != 0) {
        error = errorInvalidUserBuffer;
    } else if (const HidDevice& hid = devices_[d].device;
               property != spdrpHardwareId || !hid.hasHardwareIds) {
        // Only the hardware ids are stored; any other property reads as absent.
        error = errorInvalidData;
    } else if (hid.propertyError != 0) {
        error = hid.propertyError;
    } else {
        // The size is reported even when the buffer is too small, so one
        // variable can serve as both buffer size and required size.
        ids = &hid.hardwareIds;
        required = static_cast<unsigned long>(hid.hardwareIds.size());
        error = buffer == nullptr || bufferSize < required ? errorInsufficientBuffer : errorNone;
    }
    return Answer("SetupDiGetDeviceRegistryPropertyA", error)
        .Arg("set", SetNumber(set))
        .Arg("device", d >= 0 ? std::to_string(d) : "none")
        .Arg("property", property)
        .Arg("size", bufferSize)
        .Arg("required", required)
        .Arg("ids", ids != nullptr ? ids->c_str() : "");
}

CallRecord DeviceTree::EnumInterface(uintptr_t set, RecordIn device,
                                     const unsigned char* classGuid, unsigned long index,
                                     RecordIn record, uintptr_t& token) {
    token = 0;
    const Set* members = SetOf(set);
    const int d = device.given ? MemberOf(members, device) : -1;
    unsigned long error = errorNone;
    if (members == nullptr) {
        error = errorInvalidHandle;
    } else if (classGuid == nullptr || (device.given && d < 0)) {
        error = errorInvalidParameter;
    } else if (!record.given || !record.sizeRight) {
        error = errorInvalidUserBuffer;
    } else {
        // The interfaces of the class asked (every one here is a HID
        // collection), of that device or of every device in the set, in order.
        unsigned long seen = 0;
        for (const int member : members->members) {
            const size_t count = devices_[member].device.interfaces.size();
            for (size_t i = 0; SameGuid(classGuid, hidInterfaceClass) && (!device.given || member == d) &&
                               i < count && token == 0;
                 ++i, ++seen) {
                if (seen == index) {
                    token = static_cast<uintptr_t>(member) * 256 + i + 1;
                }
            }
        }
        error = token != 0 ? errorNone : errorNoMoreItems;
    }
    return Answer("SetupDiEnumDeviceInterfaces", error)
        .Arg("set", SetNumber(set))
        .Arg("device", d >= 0 ? std::to_string(d) : "null")
        .Arg("class", GuidText(classGuid))
        .Arg("index", index);
}

CallRecord DeviceTree::InterfaceDetail(uintptr_t set, RecordIn interfaceRecord, RecordIn detail,
                                       unsigned long pathOffset, unsigned long detailSize,
                                       RecordIn deviceRecord, unsigned long& required,
                                       const std::string*& path, int& device) {
    required = 0;
    path = nullptr;
    device = -1;
    const Set* members = SetOf(set);
    const HidInterface* hid = nullptr;
    if (members != nullptr && interfaceRecord.given && interfaceRecord.sizeRight &&
        interfaceRecord.reserved != 0) {
        const int d = static_cast<int>((interfaceRecord.reserved - 1) / 256);
        if (MemberOf(members, RecordIn{true, true, static_cast<uintptr_t>(d) + 1}) >= 0) {
            device = d;
            hid = InterfaceOf({d, static_cast<int>((interfaceRecord.reserved - 1) % 256)});
        }
    }
    unsigned long error = errorNone;
    if (members == nullptr) {
        error = errorInvalidHandle;
    } else if (hid == nullptr) {
        error = errorInvalidParameter;
    } else if (hid->detailError != 0) {
        error = hid->detailError;
    } else if (!detail.given) {
        // A size query: no record and size 0.
        required = pathOffset + static_cast<unsigned long>(hid->path.size()) + 1;
        error = detailSize == 0 ? errorInsufficientBuffer : errorInvalidUserBuffer;
        required = detailSize == 0 ? required : 0;
    } else if (!detail.sizeRight) {
        // cbSize is the size of the fixed part (5 on 32-bit), not of the buffer.
        error = errorInvalidUserBuffer;
    } else {
        required = pathOffset + static_cast<unsigned long>(hid->path.size()) + 1;
        error = detailSize < required                        ? errorInsufficientBuffer
                : deviceRecord.given && !deviceRecord.sizeRight ? errorInvalidUserBuffer
                                                                : errorNone;
        path = error == errorNone ? &hid->path : nullptr;
    }
    return Answer("SetupDiGetDeviceInterfaceDetailA", error)
        .Arg("set", SetNumber(set))
        .Arg("device", device >= 0 ? std::to_string(device) : "none")
        .Arg("size", detailSize)
        .Arg("required", required)
        .Arg("path", hid != nullptr ? hid->path : "");
}

CallRecord DeviceTree::DestroySet(uintptr_t set) {
    const bool destroyed = sets_.erase(set) != 0;
    return Answer("SetupDiDestroyDeviceInfoList", destroyed ? errorNone : errorInvalidHandle)
        .Arg("set", SetNumber(set))
        .Arg("live_sets", LiveSets());
}

CallRecord DeviceTree::GetPreparsed(uint64_t handle, DeviceRef ref, bool havePointer, long now,
                                    uintptr_t& preparsed) {
    preparsed = 0;
    const HidInterface* hid = InterfaceOf(ref);
    // The HID ioctl on a handle that is not open (or no file) fails as the
    // handle does; on a file that is no HID device as an ioctl it does not know.
    unsigned long error = ref.device == handleInvalid ? errorInvalidHandle
                          : hid == nullptr            ? errorInvalidFunction
                          : !havePointer              ? errorNoAccess
                          : hid->preparsedDataFails   ? errorGenFailure
                                                      : errorNone;
    const int number = hid != nullptr ? HandleNumber(handle) : 0;
    if (error == errorNone) {
        preparsed = PreparsedHandle(++preparsedMade_);
        preparsed_.emplace(preparsed, Preparsed{ref});
        handles_[handle].checkedAt = now;
    }
    return Answer("HidD_GetPreparsedData", error)
        .Arg("handle", number)
        .Arg("device", ref.device)
        .Arg("live_preparsed", LivePreparsed());
}

CallRecord DeviceTree::FreePreparsed(uintptr_t preparsed) {
    const bool freed = preparsed_.erase(preparsed) != 0;
    return Answer("HidD_FreePreparsedData", freed ? errorNone : errorInvalidParameter)
        .Arg("live_preparsed", LivePreparsed());
}

CallRecord DeviceTree::GetCaps(uintptr_t preparsed, bool haveCaps, HidCaps& caps) {
    const auto it = preparsed_.find(preparsed);
    const HidInterface* hid = it == preparsed_.end() ? nullptr : InterfaceOf(it->second.ref);
    const bool ok = hid != nullptr && haveCaps && !hid->capsFail;
    caps = HidCaps{};
    if (ok) {
        caps = HidCaps{hid->usagePage, hid->usage, 2, static_cast<unsigned short>(hid->featureLength),
                       1, 1, 8, 1, 1};
    }
    return Called("HidP_GetCaps", ok ? hidpStatusSuccess : hidpStatusInvalidPreparsedData)
        .Arg("page", caps.usagePage)
        .Arg("usage", caps.usage)
        .Arg("feature_length", caps.featureLength);
}

CallRecord DeviceTree::SetFeature(uint64_t handle, DeviceRef ref, const unsigned char* bytes,
                                  unsigned long length, bool completed, FaultTable& faults,
                                  long now) {
    const HidInterface* hid = InterfaceOf(ref);
    const int number = hid != nullptr ? HandleNumber(handle) : 0;
    // A handle that was never checked counts as opened now.
    const long checked = hid != nullptr && handles_[handle].checkedAt >= 0
                             ? handles_[handle].checkedAt
                             : now;
    // Every call counts in the fault table; its rule fails only what the
    // device would have accepted.
    unsigned long error = faults.Fail("HidD_SetFeature", now, 0, errorGenFailure).error;
    if (!completed) {
        error = errorOperationAborted;
    } else if (hid == nullptr || !Present(ref)) {
        // Also a handle that was closed, or to a device unplugged since.
        error = errorInvalidHandle;
    } else if (bytes == nullptr) {
        error = errorNoAccess;
    } else if (length != hid->featureLength || bytes[0] != 0) {
        error = errorInvalidParameter;
    } else if (hid->featureFails) {
        error = errorGenFailure;
    } else if (hid->restartAt >= 0 && now >= hid->restartAt && checked < hid->restartAt) {
        error = errorDeviceNotConnected;
    }
    return Answer("HidD_SetFeature", error)
        .Arg("handle", number)
        .Arg("device", ref.device)
        .Arg("length", length)
        .Arg("bytes", bytes != nullptr ? HexBytes(bytes, length) : "null");
}

} // namespace world
