// Stand-in for setupapi.dll: the device-installation calls that find the virtual
// HID devices of world.scenario. Loaded instead of Wine's setupapi.dll through
// a per-application DLL override (see README.md), so it must export, undecorated
// and __stdcall, every setupapi function that the process imports.
//
// Each function follows the documented contract of the real one: results, last
// error codes (ERROR_INSUFFICIENT_BUFFER with the required size, ERROR_NO_MORE_ITEMS
// at the end of an enumeration, ERROR_INVALID_DATA for a missing property) and the
// cbSize checks of the caller's records. Every call is logged.
#define _SETUPAPI_ // define, rather than import, the functions declared below
#include <windows.h>
#include <setupapi.h>

#include "common/standin_log.h"
#include "hid/virtual_hid.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

// The 32-bit ANSI layouts the callers rely on; setupapi.h packs to 1 byte on
// 32-bit Windows, which gives the detail record its odd size of 5.
static_assert(sizeof(SP_DEVINFO_DATA) == 28);
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 28);
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 5);

// The SDK header has declared these functions already, and dllexport added to a
// redeclaration is refused by clang (-Wdll-attribute-on-redeclaration): setupapi.def
// names the exports instead.
#define SETUPAPI_EXPORT extern "C"

using virtual_hid::CallLog;
using virtual_hid::Devices;
using virtual_hid::GuidText;

namespace {

// A device information set: the indices of the devices it holds.
struct DeviceSet {
    std::vector<size_t> members;
};

// The sets handed out and not yet destroyed. Checking handles against this list
// turns a use after SetupDiDestroyDeviceInfoList into ERROR_INVALID_HANDLE
// instead of a crash, and the count shows leaks in the log.
CRITICAL_SECTION setsLock;
std::vector<DeviceSet*> liveSets;

DeviceSet* LiveSet(HDEVINFO handle) {
    EnterCriticalSection(&setsLock);
    const auto found = std::find(liveSets.begin(), liveSets.end(), static_cast<DeviceSet*>(handle));
    DeviceSet* set = found == liveSets.end() ? nullptr : *found;
    LeaveCriticalSection(&setsLock);
    return set;
}

// The member of `set` that a record filled by this DLL points at, or -1. The
// record's Reserved field holds the device index plus one.
int MemberDevice(const DeviceSet* set, ULONG_PTR reserved) {
    if (reserved == 0) {
        return -1;
    }
    const size_t device = reserved - 1;
    const bool member =
        std::find(set->members.begin(), set->members.end(), device) != set->members.end();
    return member ? static_cast<int>(device) : -1;
}

// Ends a call: sets the last error (ERROR_SUCCESS on success, as the real
// functions do), logs, and returns `result`.
BOOL Finish(BOOL result, DWORD error, const char* call, const char* extra = "") {
    standin::LogLine(CallLog(), "%s %d error=%lu%s%s", call, result, result ? 0ul : error,
                     *extra ? " " : "", extra);
    SetLastError(result ? ERROR_SUCCESS : error);
    return result;
}

std::wstring Wide(const std::string& text) {
    std::wstring wide(text.size(), L'\0');
    const int length = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()),
                                           wide.data(), static_cast<int>(wide.size()));
    wide.resize(length > 0 ? static_cast<size_t>(length) : 0);
    return wide;
}

// Makes sure each openable device's file exists and no file is left where a
// device is meant not to open. The wide functions reach paths longer than
// MAX_PATH (padded ones), which the ANSI ones refuse with
// ERROR_FILENAME_EXCED_RANGE, as a caller's CreateFileA will too.
void PrepareDeviceFiles() {
    for (const virtual_hid::Device& device : Devices()) {
        for (const std::string& folder : device.padDirectories) {
            CreateDirectoryW(Wide(folder).c_str(), nullptr);
        }
        const std::wstring path = Wide(device.Path());
        if (device.Interface().openError != 0) {
            DeleteFileW(path.c_str());
            continue;
        }
        HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            standin::LogLine(CallLog(), "PrepareDeviceFiles - cannot create %s: %lu",
                             device.Path().c_str(), GetLastError());
        } else {
            CloseHandle(file);
        }
    }
}

} // namespace

SETUPAPI_EXPORT HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* ClassGuid, PCSTR Enumerator,
                                                     HWND hwndParent, DWORD Flags) {
    char call[200];
    std::snprintf(call, sizeof call, "SetupDiGetClassDevsA(%s,%s,%p,0x%lx)",
                  GuidText(ClassGuid).c_str(), Enumerator ? Enumerator : "NULL",
                  static_cast<void*>(hwndParent), Flags);
    // With DIGCF_DEVICEINTERFACE the GUID names an interface class, otherwise a
    // setup class.
    const GUID& hid =
        (Flags & DIGCF_DEVICEINTERFACE) ? virtual_hid::hidInterfaceGuid : virtual_hid::hidClassGuid;
    bool holdsDevices = false;
    const DWORD error = world::ClassQuery(ClassGuid != nullptr, (Flags & DIGCF_ALLCLASSES) != 0,
                                          ClassGuid != nullptr && IsEqualGUID(*ClassGuid, hid),
                                          Enumerator, holdsDevices);
    if (error != ERROR_SUCCESS) {
        Finish(FALSE, error, call);
        return INVALID_HANDLE_VALUE;
    }

    PrepareDeviceFiles();
    DeviceSet* set = new DeviceSet;
    for (size_t i = 0; holdsDevices && i < Devices().size(); ++i) {
        set->members.push_back(i);
    }
    EnterCriticalSection(&setsLock);
    liveSets.push_back(set);
    const size_t live = liveSets.size();
    LeaveCriticalSection(&setsLock);

    char extra[80];
    std::snprintf(extra, sizeof extra, "set=%p devices=%u live_sets=%u", static_cast<void*>(set),
                  static_cast<unsigned>(set->members.size()), static_cast<unsigned>(live));
    Finish(TRUE, 0, call, extra);
    return set;
}

SETUPAPI_EXPORT BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex,
                                                  PSP_DEVINFO_DATA DeviceInfoData) {
    char call[100];
    std::snprintf(call, sizeof call, "SetupDiEnumDeviceInfo(%p,%lu,%p)", DeviceInfoSet, MemberIndex,
                  static_cast<void*>(DeviceInfoData));
    const DeviceSet* set = LiveSet(DeviceInfoSet);
    if (set == nullptr) {
        return Finish(FALSE, ERROR_INVALID_HANDLE, call);
    }
    if (const DWORD error = world::EnumError(DeviceInfoData != nullptr &&
                                                 DeviceInfoData->cbSize == sizeof(SP_DEVINFO_DATA),
                                             MemberIndex, set->members.size())) {
        return Finish(FALSE, error, call);
    }
    const size_t device = set->members[MemberIndex];
    DeviceInfoData->ClassGuid = virtual_hid::hidClassGuid;
    DeviceInfoData->DevInst = static_cast<DWORD>(device + 1);
    DeviceInfoData->Reserved = device + 1;
    char extra[32];
    std::snprintf(extra, sizeof extra, "device=%u", static_cast<unsigned>(device));
    return Finish(TRUE, 0, call, extra);
}

SETUPAPI_EXPORT BOOL WINAPI
SetupDiGetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                  DWORD Property, PDWORD PropertyRegDataType, PBYTE PropertyBuffer,
                                  DWORD PropertyBufferSize, PDWORD RequiredSize) {
    char call[160];
    std::snprintf(call, sizeof call, "SetupDiGetDeviceRegistryPropertyA(%p,%p,%lu,%p,%p,%lu,%p)",
                  DeviceInfoSet, static_cast<void*>(DeviceInfoData), Property,
                  static_cast<void*>(PropertyRegDataType), static_cast<void*>(PropertyBuffer),
                  PropertyBufferSize, static_cast<void*>(RequiredSize));
    const DeviceSet* set = LiveSet(DeviceInfoSet);
    if (set == nullptr) {
        return Finish(FALSE, ERROR_INVALID_HANDLE, call);
    }
    const int device =
        DeviceInfoData != nullptr && DeviceInfoData->cbSize == sizeof(SP_DEVINFO_DATA)
            ? MemberDevice(set, DeviceInfoData->Reserved)
            : -1;
    if (device < 0) {
        return Finish(FALSE, ERROR_INVALID_PARAMETER, call);
    }
    if (PropertyBuffer == nullptr && PropertyBufferSize != 0) {
        return Finish(FALSE, ERROR_INVALID_USER_BUFFER, call);
    }
    // Only the hardware ids are stored; any other property reads as absent.
    const world::HidDevice& info = Devices()[device].description;
    unsigned long size = 0;
    const DWORD error = world::PropertyError(info, Property == SPDRP_HARDWAREID,
                                             PropertyBuffer != nullptr, PropertyBufferSize, size);
    if (error == ERROR_INVALID_DATA) {
        return Finish(FALSE, error, call);
    }
    // Type and required size are reported whether or not the data fits.
    if (PropertyRegDataType != nullptr) {
        *PropertyRegDataType = REG_MULTI_SZ;
    }
    if (RequiredSize != nullptr) {
        *RequiredSize = size;
    }
    char extra[300];
    std::snprintf(extra, sizeof extra, "size=%lu first=%.200s", size, info.hardwareIds.c_str());
    if (error != ERROR_SUCCESS) {
        return Finish(FALSE, error, call, extra);
    }
    std::memcpy(PropertyBuffer, info.hardwareIds.data(), size);
    return Finish(TRUE, 0, call, extra);
}

SETUPAPI_EXPORT BOOL WINAPI SetupDiEnumDeviceInterfaces(
    HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, const GUID* InterfaceClassGuid,
    DWORD MemberIndex, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
    char call[160];
    std::snprintf(call, sizeof call, "SetupDiEnumDeviceInterfaces(%p,%p,%s,%lu,%p)", DeviceInfoSet,
                  static_cast<void*>(DeviceInfoData), GuidText(InterfaceClassGuid).c_str(),
                  MemberIndex, static_cast<void*>(DeviceInterfaceData));
    const DeviceSet* set = LiveSet(DeviceInfoSet);
    if (set == nullptr) {
        return Finish(FALSE, ERROR_INVALID_HANDLE, call);
    }
    if (InterfaceClassGuid == nullptr) {
        return Finish(FALSE, ERROR_INVALID_PARAMETER, call);
    }
    if (DeviceInterfaceData == nullptr ||
        DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        return Finish(FALSE, ERROR_INVALID_USER_BUFFER, call);
    }
    // Each device has exactly one interface, of the HID interface class. With a
    // device record only that device's interfaces are enumerated.
    std::vector<size_t> candidates;
    if (DeviceInfoData != nullptr) {
        const int device = DeviceInfoData->cbSize == sizeof(SP_DEVINFO_DATA)
                               ? MemberDevice(set, DeviceInfoData->Reserved)
                               : -1;
        if (device < 0) {
            return Finish(FALSE, ERROR_INVALID_PARAMETER, call);
        }
        candidates.push_back(static_cast<size_t>(device));
    } else {
        candidates = set->members;
    }
    if (!IsEqualGUID(*InterfaceClassGuid, virtual_hid::hidInterfaceGuid) ||
        MemberIndex >= candidates.size()) {
        return Finish(FALSE, ERROR_NO_MORE_ITEMS, call);
    }
    const size_t device = candidates[MemberIndex];
    DeviceInterfaceData->InterfaceClassGuid = virtual_hid::hidInterfaceGuid;
    DeviceInterfaceData->Flags = SPINT_ACTIVE;
    DeviceInterfaceData->Reserved = device + 1;
    char extra[32];
    std::snprintf(extra, sizeof extra, "device=%u", static_cast<unsigned>(device));
    return Finish(TRUE, 0, call, extra);
}

SETUPAPI_EXPORT BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(
    HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
    PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData,
    DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize, PSP_DEVINFO_DATA DeviceInfoData) {
    char call[160];
    std::snprintf(call, sizeof call, "SetupDiGetDeviceInterfaceDetailA(%p,%p,%p,%lu,%p,%p)",
                  DeviceInfoSet, static_cast<void*>(DeviceInterfaceData),
                  static_cast<void*>(DeviceInterfaceDetailData), DeviceInterfaceDetailDataSize,
                  static_cast<void*>(RequiredSize), static_cast<void*>(DeviceInfoData));
    const DeviceSet* set = LiveSet(DeviceInfoSet);
    if (set == nullptr) {
        return Finish(FALSE, ERROR_INVALID_HANDLE, call);
    }
    const int device = DeviceInterfaceData != nullptr &&
                               DeviceInterfaceData->cbSize == sizeof(SP_DEVICE_INTERFACE_DATA)
                           ? MemberDevice(set, DeviceInterfaceData->Reserved)
                           : -1;
    if (device < 0) {
        return Finish(FALSE, ERROR_INVALID_PARAMETER, call);
    }
    const world::HidInterface& hid = Devices()[device].Interface();
    const std::string& path = hid.path;
    unsigned long needed = 0;
    // cbSize is the size of the fixed part (5 on 32-bit), not of the buffer.
    const DWORD error = world::DetailError(
        hid, offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath),
        DeviceInterfaceDetailData != nullptr,
        DeviceInterfaceDetailData != nullptr &&
            DeviceInterfaceDetailData->cbSize == sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A),
        DeviceInterfaceDetailDataSize, needed);
    char extra[600];
    std::snprintf(extra, sizeof extra, "required=%lu path=%.500s", needed, path.c_str());
    // The size is reported to a size query (no buffer, size 0) and to a record
    // of the right cbSize, whether or not the path fits.
    const bool sizeReported = DeviceInterfaceDetailData != nullptr
                                  ? error != ERROR_INVALID_USER_BUFFER
                                  : DeviceInterfaceDetailDataSize == 0;
    if (RequiredSize != nullptr && sizeReported) {
        *RequiredSize = needed;
    }
    if (error != ERROR_SUCCESS) {
        return Finish(FALSE, error, call, extra);
    }
    if (DeviceInfoData != nullptr) {
        if (DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) {
            return Finish(FALSE, ERROR_INVALID_USER_BUFFER, call, extra);
        }
        DeviceInfoData->ClassGuid = virtual_hid::hidClassGuid;
        DeviceInfoData->DevInst = static_cast<DWORD>(device + 1);
        DeviceInfoData->Reserved = static_cast<ULONG_PTR>(device) + 1;
    }
    std::memcpy(DeviceInterfaceDetailData->DevicePath, path.c_str(), path.size() + 1);
    return Finish(TRUE, 0, call, extra);
}

SETUPAPI_EXPORT BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
    char call[80];
    std::snprintf(call, sizeof call, "SetupDiDestroyDeviceInfoList(%p)", DeviceInfoSet);
    EnterCriticalSection(&setsLock);
    const auto found =
        std::find(liveSets.begin(), liveSets.end(), static_cast<DeviceSet*>(DeviceInfoSet));
    DeviceSet* set = nullptr;
    if (found != liveSets.end()) {
        set = *found;
        liveSets.erase(found);
    }
    const size_t live = liveSets.size();
    LeaveCriticalSection(&setsLock);
    if (set == nullptr) {
        return Finish(FALSE, ERROR_INVALID_HANDLE, call);
    }
    delete set;
    char extra[32];
    std::snprintf(extra, sizeof extra, "live_sets=%u", static_cast<unsigned>(live));
    return Finish(TRUE, 0, call, extra);
}

extern "C" BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls(self);
        InitializeCriticalSection(&setsLock);
        virtual_hid::Load(self, "setupapi");
    } else if (reason == DLL_PROCESS_DETACH) {
        standin::LogLine(CallLog(), "Unload(setupapi) 1 live_sets=%u %s",
                         static_cast<unsigned>(liveSets.size()), reserved ? "exit" : "FreeLibrary");
        virtual_hid::Unload();
        DeleteCriticalSection(&setsLock);
    }
    return TRUE;
}
