#include "hid/virtual_hid.h"

#include "common/standin_log.h"
#include "common/world_file.h"

#include <string>
#include <vector>

namespace virtual_hid {

namespace {

HANDLE callLog = INVALID_HANDLE_VALUE;
world::DeviceTree tree;
world::FaultTable faults;
CRITICAL_SECTION worldLock;
// The padding folders of each device's path, outermost first.
std::vector<std::vector<std::string>> padDirectories;
std::int64_t loadedAtUs = 0;
// Whose folder holds the world and the logs: the program's (nullptr) when a
// world.scenario lies beside it, else this DLL's own.
HMODULE filesBeside = nullptr;

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

std::wstring Wide(const std::string& text) {
    std::wstring wide(text.size(), L'\0');
    const int length = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()),
                                           wide.data(), static_cast<int>(wide.size()));
    wide.resize(length > 0 ? static_cast<size_t>(length) : 0);
    return wide;
}

} // namespace

long SinceLoadMs() {
    return static_cast<long>((standin::QpcMicros() - loadedAtUs) / 1000);
}

HMODULE FilesBeside() {
    return filesBeside;
}

HANDLE CallLog() {
    return callLog;
}

void Load(HMODULE self, const char* dllName) {
    loadedAtUs = standin::QpcMicros();
    InitializeCriticalSection(&worldLock);
    char path[MAX_PATH];
    filesBeside = self;
    if (standin::PathBesideModule(nullptr, "world.scenario", path, sizeof path) &&
        GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES) {
        filesBeside = nullptr;
    }
    if (standin::PathBesideModule(filesBeside, "virtual_hid.log", path, sizeof path)) {
        callLog = standin::OpenAppendLog(path);
    }
    standin::Write(callLog, world::Called("Load").Arg("dll", dllName));

    // The device nodes are files beside the DLLs, in System32, as a driver's
    // would be in no folder of the program's: an installation's folder holds only
    // what was installed.
    char folder[MAX_PATH];
    if (!standin::PathBesideModule(self, "", folder, sizeof folder)) {
        folder[0] = '\0';
    }
    world::Scenario scenario;
    standin::ReadWorld(filesBeside, scenario, callLog);
    for (const world::Fault& fault : scenario.faults) {
        faults.Add(fault);
    }
    for (world::HidDevice device : scenario.devices) {
        world::HidInterface& hid = device.interfaces.front();
        // The extended prefix lets CreateFileA open paths of any length, as it
        // does for real device paths.
        const std::string base = std::string("\\\\?\\") + folder;
        padDirectories.emplace_back();
        hid.path = PadFolders(hid.padding, base, padDirectories.back()) +
                   world::InterfaceFileName(device, tree.Devices().size());
        if (hid.openError != 0) {
            // A file that is never created: CreateFileA fails with 2, as Windows does.
            hid.path += ".absent";
        }
        tree.Devices().push_back(world::DeviceSlot{device, true});
    }
}

void Unload(const char* dllName, bool exiting, const char* live, int count) {
    standin::Write(callLog, world::Called("Unload")
                                .Arg("dll", dllName)
                                .Arg("how", exiting ? "exit" : "FreeLibrary")
                                .Arg(live, count));
    DeleteCriticalSection(&worldLock);
    if (callLog != INVALID_HANDLE_VALUE) {
        CloseHandle(callLog);
        callLog = INVALID_HANDLE_VALUE;
    }
}

world::DeviceTree& EnterWorld() {
    EnterCriticalSection(&worldLock);
    return tree;
}

void LeaveWorld() {
    LeaveCriticalSection(&worldLock);
}

world::FaultTable& Faults() {
    return faults;
}

int64_t Answer(world::CallRecord record) {
    LeaveWorld();
    const DWORD error = static_cast<DWORD>(record.error);
    const int64_t result = record.result;
    standin::Write(callLog, std::move(record));
    SetLastError(error);
    return result;
}

// The wide functions reach paths longer than MAX_PATH (padded ones), which the
// ANSI ones refuse with ERROR_FILENAME_EXCED_RANGE, as a caller's CreateFileA
// will too.
void PrepareDeviceFiles() {
    for (size_t d = 0; d < tree.Devices().size(); ++d) {
        for (const std::string& folder : padDirectories[d]) {
            CreateDirectoryW(Wide(folder).c_str(), nullptr);
        }
        const world::HidInterface& hid = tree.Devices()[d].device.interfaces.front();
        const std::wstring path = Wide(hid.path);
        if (hid.openError != 0) {
            DeleteFileW(path.c_str());
            continue;
        }
        HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            CloseHandle(file);
        }
    }
}

world::DeviceRef RefOfHandle(HANDLE handle) {
    // GetFinalPathNameByHandle needs no access right on the handle, so it works
    // on the write-only handles that the service holds. A closed or non-file
    // handle fails here. The HID ioctls see other objects (events, threads) as
    // invalid handles, and a file that is no device as a file.
    char path[1024];
    if (GetFileType(handle) != FILE_TYPE_DISK) {
        return {};
    }
    const DWORD length = GetFinalPathNameByHandleA(handle, path, sizeof path, FILE_NAME_NORMALIZED);
    if (length == 0 || length >= sizeof path) {
        return {};
    }
    // Compare names only: the folder may come back spelled differently.
    const char* name = LastComponent(path);
    for (size_t d = 0; d < tree.Devices().size(); ++d) {
        const std::string& own = tree.Devices()[d].device.interfaces.front().path;
        if (lstrcmpiA(name, LastComponent(own.c_str())) == 0) {
            return {static_cast<int>(d), 0};
        }
    }
    return {world::handleNotHid, 0};
}

} // namespace virtual_hid
