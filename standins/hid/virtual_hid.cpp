#include "hid/virtual_hid.h"

#include "common/directives.h"
#include "common/standin_log.h"

#include <cstdio>
#include <cstring>

namespace virtual_hid {

const GUID hidInterfaceGuid = {
    0x4d1e55b2, 0xf16f, 0x11cf, {0x88, 0xcb, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
const GUID hidClassGuid = {
    0x745a17a0, 0x74d3, 0x11d0, {0xb6, 0xfe, 0x00, 0xa0, 0xc9, 0x0f, 0x57, 0xda}};

namespace {

const char defaultHardwareIds[] = "HID\\ZurVirtualHidDevice|HID_DEVICE_UP:0001_U:0004|HID_DEVICE";

HANDLE callLog = INVALID_HANDLE_VALUE;
std::vector<Device> devices;

// "A|B" -> "A\0B\0\0". An empty list still ends in the double NUL.
std::string MultiSz(const std::string& list) {
    std::string multi;
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find('|', start);
        if (end == std::string::npos) {
            end = list.size();
        }
        if (end > start) {
            multi.append(list, start, end - start);
            multi += '\0';
        }
        start = end + 1;
    }
    if (multi.empty()) {
        multi += '\0';
    }
    multi += '\0';
    return multi;
}

// The file name part of a device path, built like a real HID interface path:
// "hid#<first id without "HID\\", lower case>#<index>#{interface class}".
// Characters that a file name cannot hold become '_'.
std::string FileName(const Device& device, size_t index) {
    const char* id = device.hasHardwareIds ? device.hardwareIds.c_str() : "";
    if (_strnicmp(id, "HID\\", 4) == 0) {
        id += 4;
    }
    std::string name = "hid#";
    name += *id != '\0' ? "" : "noid";
    for (; *id != '\0'; ++id) {
        const char c = *id;
        const bool keep =
            (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '&' || c == '-';
        name += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a')
                : c == '\\'            ? '#'
                : keep                 ? c
                                       : '_';
    }
    return name + "#" + std::to_string(index) + "#" + GuidText(&hidInterfaceGuid);
}

// Lengthens the path by `padding` characters, for tests of paths that do not
// fit the service's 260-byte buffer. A file name may not exceed 255 bytes on
// Linux, so the padding is a chain of folders named "xxx...", each at most 200
// characters with its backslash.
std::string PadFolders(long padding, const std::string& folder, std::vector<std::string>& created) {
    std::string path = folder;
    while (padding > 0) {
        const long length = padding > 200 ? 200 : padding;
        path.append(static_cast<size_t>(length - 1), 'x');
        path += '\\';
        created.push_back(path);
        padding -= length;
    }
    return path;
}

// "device" followed by options; false when an option is not understood.
bool ParseDevice(const standin::Directive& directive, Device& device, long& padding) {
    device.hardwareIds = MultiSz(defaultHardwareIds);
    padding = 0;
    for (size_t i = 1; i < directive.words.size(); ++i) {
        const std::string& word = directive.words[i];
        const size_t equals = word.find('=');
        const std::string key = word.substr(0, equals);
        const std::string value = equals == std::string::npos ? "" : word.substr(equals + 1);
        long number = 0;
        if (key == "ids" && equals != std::string::npos) {
            device.hardwareIds = MultiSz(value);
        } else if (key == "noids") {
            device.hasHardwareIds = false;
        } else if (key == "page" && standin::ParseNumber(value, number)) {
            device.usagePage = static_cast<USHORT>(number);
        } else if (key == "usage" && standin::ParseNumber(value, number)) {
            device.usage = static_cast<USHORT>(number);
        } else if (key == "open" && value == "fail") {
            device.openFails = true;
        } else if (key == "preparsed" && value == "fail") {
            device.preparsedFails = true;
        } else if (key == "caps" && value == "fail") {
            device.capsFails = true;
        } else if (key == "feature" && value == "fail") {
            device.featureFails = true;
        } else if (key == "restart" && standin::ParseNumber(value, number)) {
            device.restartAtMs = number;
        } else if (key == "pad" && standin::ParseNumber(value, number)) {
            padding = number;
        } else {
            return false;
        }
    }
    return true;
}

std::int64_t loadedAtUs = 0;

// The part of a path after its last backslash.
const char* LastComponent(const char* path) {
    const char* name = path;
    for (const char* c = path; *c != '\0'; ++c) {
        if (*c == '\\' || *c == '/') {
            name = c + 1;
        }
    }
    return name;
}

} // namespace

long SinceLoadMs() {
    return static_cast<long>((standin::QpcMicros() - loadedAtUs) / 1000);
}

void Load(HMODULE self, const char* dllName) {
    loadedAtUs = standin::QpcMicros();
    char path[MAX_PATH];
    if (standin::PathBesideModule(self, "virtual_hid.log", path, sizeof path)) {
        callLog = standin::OpenAppendLog(path);
    }
    standin::LogLine(callLog, "Load(%s) 1", dllName);

    char folder[MAX_PATH];
    if (!standin::PathBesideModule(self, "", folder, sizeof folder)) {
        folder[0] = '\0';
    }

    std::vector<standin::Directive> directives;
    const bool configured =
        standin::PathBesideModule(self, "virtual_hid.config", path, sizeof path) &&
        standin::ReadDirectives(path, directives);
    if (!configured) {
        directives.push_back({0, {"device"}});
    }
    for (const standin::Directive& directive : directives) {
        Device device;
        long padding = 0;
        if (directive.words[0] != "device" || !ParseDevice(directive, device, padding)) {
            standin::LogLine(callLog, "Config - ignored line %d: %s", directive.line,
                             directive.words[0].c_str());
            continue;
        }
        // The extended prefix lets CreateFileA open paths of any length, as it
        // does for real device paths.
        const std::string base = std::string("\\\\?\\") + folder;
        device.path =
            PadFolders(padding, base, device.padDirectories) + FileName(device, devices.size());
        if (device.openFails) {
            device.path += ".absent";
        }
        standin::LogLine(callLog, "Config - device=%u first_id=%s page=%u usage=%u path=%s",
                         static_cast<unsigned>(devices.size()),
                         device.hasHardwareIds ? device.hardwareIds.c_str() : "(none)",
                         device.usagePage, device.usage, device.path.c_str());
        devices.push_back(device);
    }
    standin::LogLine(callLog, "Config - %s devices=%u", configured ? path : "default",
                     static_cast<unsigned>(devices.size()));
}

void Unload() {
    if (callLog != INVALID_HANDLE_VALUE) {
        CloseHandle(callLog);
        callLog = INVALID_HANDLE_VALUE;
    }
}

const std::vector<Device>& Devices() {
    return devices;
}

HANDLE CallLog() {
    return callLog;
}

int DeviceOfHandle(HANDLE handle) {
    // GetFinalPathNameByHandle needs no access right on the handle, so it works
    // on the write-only handles that the service holds. A closed or non-file
    // handle fails here.
    char path[1024];
    const DWORD length = GetFinalPathNameByHandleA(handle, path, sizeof path, FILE_NAME_NORMALIZED);
    if (length == 0 || length >= sizeof path) {
        return -1;
    }
    // Compare names only: the folder may come back spelled differently.
    const char* name = LastComponent(path);
    for (size_t i = 0; i < devices.size(); ++i) {
        if (lstrcmpiA(name, LastComponent(devices[i].path.c_str())) == 0) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

std::string GuidText(const GUID* guid) {
    if (guid == nullptr) {
        return "NULL";
    }
    char text[40];
    std::snprintf(text, sizeof text, "{%08lx-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                  guid->Data1, guid->Data2, guid->Data3, guid->Data4[0], guid->Data4[1],
                  guid->Data4[2], guid->Data4[3], guid->Data4[4], guid->Data4[5], guid->Data4[6],
                  guid->Data4[7]);
    return text;
}

} // namespace virtual_hid
