// Device installation services over the simulated device tree: device information
// sets, their devices, the hardware-id property and the HID interfaces.
//
// Buffer sizes follow Windows: a read into a missing or small buffer fails with
// ERROR_INSUFFICIENT_BUFFER and reports the size it needs; a record whose cbSize
// is not the size of its type is refused.
#include <cstring>
#include <map>

#include "sim/state.h"

namespace sim {
namespace {

// A set lists the devices that were present when it was made.
std::map<HDEVINFO, std::vector<int>> sets;
uintptr_t nextSet = 0x5000;

const std::vector<int>* SetOf(HDEVINFO set) {
    auto it = sets.find(set);
    return it == sets.end() ? nullptr : &it->second;
}

// Device records carry their device's index + 1 in DevInst, interface records
// the device and interface in Reserved, as opaque to the product as on Windows.
int DeviceOf(const std::vector<int>* members, const SP_DEVINFO_DATA* device) {
    if (members == nullptr || device == nullptr || device->cbSize != sizeof(SP_DEVINFO_DATA)) {
        return -1;
    }
    for (int member : *members) {
        if (static_cast<DWORD>(member + 1) == device->DevInst) {
            return member;
        }
    }
    return -1;
}

// {745A17A0-74D3-11D0-B6FE-00A0C90F57DA}, the "HIDClass" device setup class.
GUID HidSetupClassGuid() {
    return GUID{0x745A17A0, 0x74D3, 0x11D0, {0xB6, 0xFE, 0x00, 0xA0, 0xC9, 0x0F, 0x57, 0xDA}};
}

bool Fail(DWORD error) {
    SetLastError(error);
    return false;
}

} // namespace

namespace detail {

void ResetSetupLocked() {
    sets.clear();
    nextSet = 0x5000;
}

int DeviceSetsLocked() {
    return static_cast<int>(sets.size());
}

} // namespace detail

} // namespace sim

HDEVINFO SetupDiGetClassDevsA(const GUID* classGuid, LPCSTR enumerator, HWND parent, DWORD flags) {
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    HDEVINFO set = INVALID_HANDLE_VALUE;
    // With DIGCF_DEVICEINTERFACE the GUID names an interface class, otherwise a
    // setup class ("HIDClass").
    const GUID hid = (flags & DIGCF_DEVICEINTERFACE) != 0 ? sim::detail::HidClassGuid()
                                                          : sim::HidSetupClassGuid();
    const bool hidAsked = classGuid != nullptr && std::memcmp(classGuid, &hid, sizeof hid) == 0;
    bool holdsDevices = false;
    const DWORD error = world::ClassQuery(classGuid != nullptr, (flags & DIGCF_ALLCLASSES) != 0,
                                          hidAsked, enumerator, holdsDevices);
    if (const world::Fault* fault = sim::detail::FaultLocked("SetupDiGetClassDevsA")) {
        SetLastError(fault->error);
    } else if (error != world::errorNone) {
        SetLastError(error);
    } else {
        std::vector<int> members;
        std::vector<sim::detail::DeviceSlot>& devices = sim::detail::DevicesLocked();
        for (size_t d = 0; holdsDevices && d < devices.size(); ++d) {
            if (devices[d].present) {
                members.push_back(static_cast<int>(d));
            }
        }
        set = reinterpret_cast<HDEVINFO>(sim::nextSet);
        sim::nextSet += 4;
        sim::sets.emplace(set, members);
    }
    sim::detail::LogCallLocked(
        "SetupDiGetClassDevsA",
        {.result = set == INVALID_HANDLE_VALUE ? 0 : 1,
         .numbers = {flags},
         .pointers = {sim::detail::PointerOf(enumerator), sim::detail::PointerOf(parent)}},
        "%s %p 0x%x -> %s", enumerator ? enumerator : "NULL", parent, flags,
        set == INVALID_HANDLE_VALUE ? "INVALID" : "set");
    return set;
}

BOOL SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, PSP_DEVINFO_DATA device) {
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    const std::vector<int>* members = sim::SetOf(set);
    bool ok = false;
    if (members == nullptr) {
        sim::Fail(ERROR_INVALID_HANDLE);
    } else if (DWORD error = world::EnumError(device->cbSize == sizeof(SP_DEVINFO_DATA), index,
                                              members->size())) {
        sim::Fail(error);
    } else {
        device->ClassGuid = sim::detail::HidClassGuid();
        device->DevInst = static_cast<DWORD>((*members)[index] + 1);
        device->Reserved = 0;
        ok = true;
    }
    sim::detail::LogLocked("SetupDiEnumDeviceInfo", "%u -> %d", index, ok);
    return ok;
}

BOOL SetupDiGetDeviceRegistryPropertyA(HDEVINFO set, PSP_DEVINFO_DATA device, DWORD property,
                                       PDWORD valueType, PBYTE buffer, DWORD bufferSize,
                                       PDWORD requiredSize) {
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    int d = sim::DeviceOf(sim::SetOf(set), device);
    bool ok = false;
    DWORD error = 0;
    if (d < 0) {
        error = ERROR_INVALID_PARAMETER;
    } else {
        const sim::HidDevice& hid = sim::detail::DevicesLocked()[d].device;
        unsigned long required = 0;
        error = world::PropertyError(hid, property == SPDRP_HARDWAREID, buffer != nullptr,
                                     bufferSize, required);
        if (requiredSize != nullptr && required != 0) {
            *requiredSize = required;
        }
        if (error == world::errorNone) {
            std::memcpy(buffer, hid.hardwareIds.data(), required);
            if (valueType != nullptr) {
                *valueType = REG_MULTI_SZ;
            }
            ok = true;
        }
    }
    if (!ok) {
        SetLastError(error);
    }
    sim::detail::LogCallLocked("SetupDiGetDeviceRegistryPropertyA",
                               {.result = ok, .numbers = {d, bufferSize, ok ? 0 : error}},
                               "device %d size %u -> %d (%u)", d, bufferSize, ok, ok ? 0 : error);
    return ok;
}

BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA device, const GUID*, DWORD index,
                                 PSP_DEVICE_INTERFACE_DATA interfaceData) {
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    int d = sim::DeviceOf(sim::SetOf(set), device);
    bool ok = false;
    if (d < 0) {
        sim::Fail(ERROR_INVALID_PARAMETER);
    } else if (DWORD error = world::EnumError(
                   interfaceData->cbSize == sizeof(SP_DEVICE_INTERFACE_DATA), index,
                   sim::detail::DevicesLocked()[d].device.interfaces.size())) {
        sim::Fail(error);
    } else {
        interfaceData->InterfaceClassGuid = sim::detail::HidClassGuid();
        interfaceData->Flags = 1; // SPINT_ACTIVE
        interfaceData->Reserved = static_cast<ULONG_PTR>(d) * 256 + index + 1;
        ok = true;
    }
    sim::detail::LogLocked("SetupDiEnumDeviceInterfaces", "device %d index %u -> %d", d, index, ok);
    return ok;
}

BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA interfaceData,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD detailSize,
                                      PDWORD requiredSize, PSP_DEVINFO_DATA) {
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    const sim::HidInterface* hidInterface = nullptr;
    if (sim::SetOf(set) != nullptr && interfaceData != nullptr && interfaceData->Reserved != 0) {
        size_t d = (interfaceData->Reserved - 1) / 256;
        size_t i = (interfaceData->Reserved - 1) % 256;
        hidInterface = &sim::detail::DevicesLocked()[d].device.interfaces[i];
    }
    bool ok = false;
    DWORD needed = 0;
    if (hidInterface == nullptr) {
        sim::Fail(ERROR_INVALID_PARAMETER);
    } else {
        unsigned long required = 0;
        const DWORD error = world::DetailError(
            *hidInterface, offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath),
            detail != nullptr,
            detail != nullptr && detail->cbSize == sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A),
            detailSize, required);
        needed = static_cast<DWORD>(required);
        if (requiredSize != nullptr && required != 0) {
            *requiredSize = needed;
        }
        if (error != world::errorNone) {
            sim::Fail(error);
        } else {
            std::memcpy(detail->DevicePath, hidInterface->path.c_str(),
                        hidInterface->path.size() + 1);
            ok = true;
        }
    }
    sim::detail::LogLocked("SetupDiGetDeviceInterfaceDetailA", "%s size %u -> %d (needs %u)",
                           detail ? "detail" : "NULL", detailSize, ok, needed);
    return ok;
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) {
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    bool destroyed = sim::sets.erase(set) != 0;
    if (!destroyed) {
        SetLastError(ERROR_INVALID_HANDLE);
    }
    sim::detail::LogLocked("SetupDiDestroyDeviceInfoList", "-> %d", destroyed);
    return destroyed;
}
