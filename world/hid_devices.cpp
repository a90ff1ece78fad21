#include "world/hid_devices.h"

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

unsigned long ClassQuery(bool classGiven, bool allClasses, bool hidClassAsked,
                         const char* enumerator, bool& holdsDevices) {
    holdsDevices = false;
    if (!classGiven && !allClasses) {
        return errorInvalidParameter;
    }
    const std::string_view name = enumerator != nullptr ? enumerator : "HID";
    const bool hidEnumerator = name.size() == 3 && (name[0] | 0x20) == 'h' &&
                               (name[1] | 0x20) == 'i' && (name[2] | 0x20) == 'd';
    holdsDevices = (allClasses || hidClassAsked) && hidEnumerator;
    return errorNone;
}

unsigned long EnumError(bool recordSizeRight, size_t index, size_t count) {
    return !recordSizeRight ? errorInvalidUserBuffer
           : index >= count ? errorNoMoreItems
                            : errorNone;
}

unsigned long PropertyError(const HidDevice& device, bool hardwareIds, bool haveBuffer,
                            unsigned long bufferSize, unsigned long& required) {
    if (!hardwareIds || !device.hasHardwareIds) {
        return errorInvalidData;
    }
    if (device.propertyError != 0) {
        return device.propertyError;
    }
    // The size is reported even when the buffer is too small, so one variable can
    // serve as both buffer size and required size.
    required = static_cast<unsigned long>(device.hardwareIds.size());
    return !haveBuffer || bufferSize < required ? errorInsufficientBuffer : errorNone;
}

unsigned long DetailError(const HidInterface& hid, unsigned long pathOffset, bool haveDetail,
                          bool recordSizeRight, unsigned long detailSize, unsigned long& required) {
    if (hid.detailError != 0) {
        return hid.detailError;
    }
    required = pathOffset + static_cast<unsigned long>(hid.path.size()) + 1;
    if (!haveDetail) {
        return detailSize == 0 ? errorInsufficientBuffer : errorInvalidUserBuffer;
    }
    return !recordSizeRight        ? errorInvalidUserBuffer
           : detailSize < required ? errorInsufficientBuffer
                                   : errorNone;
}

unsigned long FeatureError(const HidInterface& hid, const unsigned char* bytes,
                           unsigned long length, long openedAt, long now) {
    if (length != hid.featureLength || bytes == nullptr || bytes[0] != 0) {
        return errorInvalidParameter;
    }
    if (hid.featureFails) {
        return errorGenFailure;
    }
    if (hid.restartAt >= 0 && now >= hid.restartAt && openedAt < hid.restartAt) {
        return errorDeviceNotConnected;
    }
    return errorNone;
}

} // namespace world
