#include "hid/virtual_hid.h"

#include "common/standin_log.h"
#include "common/world_file.h"

#include <cstdio>
#include <cstring>

namespace virtual_hid {

const GUID hidInterfaceGuid = {
    0x4d1e55b2, 0xf16f, 0x11cf, {0x88, 0xcb, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
const GUID hidClassGuid = {
    0x745a17a0, 0x74d3, 0x11d0, {0xb6, 0xfe, 0x00, 0xa0, 0xc9, 0x0f, 0x57, 0xda}};

namespace {

HANDLE callLog = INVALID_HANDLE_VALUE;
std::vector<Device> devices;
world::FaultTable faults;
CRITICAL_SECTION faultsLock;

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

namespace {

// Whose folder holds the world and the logs: the program's (nullptr) when a
// world.scenario lies beside it, else this DLL's own.
HMODULE filesBeside = nullptr;

} // namespace

long SinceLoadMs() {
    return static_cast<long>((standin::QpcMicros() - loadedAtUs) / 1000);
}

HMODULE FilesBeside() {
    return filesBeside;
}

void Load(HMODULE self, const char* dllName) {
    loadedAtUs = standin::QpcMicros();
    char path[MAX_PATH];
    filesBeside = self;
    if (standin::PathBesideModule(nullptr, "world.scenario", path, sizeof path) &&
        GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES) {
        filesBeside = nullptr;
    }
    if (standin::PathBesideModule(filesBeside, "virtual_hid.log", path, sizeof path)) {
        callLog = standin::OpenAppendLog(path);
    }
    standin::LogLine(callLog, "Load(%s) 1", dllName);

    // The device nodes are files beside the DLLs, in System32, as a driver's
    // would be in no folder of the program's: an installation's folder holds only
    // what was installed.
    char folder[MAX_PATH];
    if (!standin::PathBesideModule(self, "", folder, sizeof folder)) {
        folder[0] = '\0';
    }

    InitializeCriticalSection(&faultsLock);
    world::Scenario scenario;
    const bool configured = standin::ReadWorld(filesBeside, scenario, callLog);
    for (const world::Fault& fault : scenario.faults) {
        faults.Add(fault);
    }
    for (const world::HidDevice& description : scenario.devices) {
        Device device{description, {}};
        world::HidInterface& hid = device.description.interfaces.front();
        // The extended prefix lets CreateFileA open paths of any length, as it
        // does for real device paths.
        const std::string base = std::string("\\\\?\\") + folder;
        hid.path = PadFolders(hid.padding, base, device.padDirectories) +
                   world::InterfaceFileName(description, devices.size());
        if (hid.openError != 0) {
            // A file that is never created: CreateFileA fails with 2, as Windows does.
            hid.path += ".absent";
        }
        standin::LogLine(callLog, "Config - device=%u first_id=%s page=%u usage=%u path=%s",
                         static_cast<unsigned>(devices.size()),
                         description.hasHardwareIds ? description.hardwareIds.c_str() : "(none)",
                         hid.usagePage, hid.usage, hid.path.c_str());
        devices.push_back(device);
    }
    standin::LogLine(callLog, "Config - %s devices=%u", configured ? "world.scenario" : "default",
                     static_cast<unsigned>(devices.size()));
}

void Unload() {
    DeleteCriticalSection(&faultsLock);
    if (callLog != INVALID_HANDLE_VALUE) {
        CloseHandle(callLog);
        callLog = INVALID_HANDLE_VALUE;
    }
}

const std::vector<Device>& Devices() {
    return devices;
}

world::FaultTable& Faults() {
    return faults;
}

void FaultsLock(bool enter) {
    if (enter) {
        EnterCriticalSection(&faultsLock);
    } else {
        LeaveCriticalSection(&faultsLock);
    }
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
        if (lstrcmpiA(name, LastComponent(devices[i].Path().c_str())) == 0) {
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
