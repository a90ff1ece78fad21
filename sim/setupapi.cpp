// Device installation services over the simulated device tree: the world's
// (world/hid_devices.h) sets, devices, hardware ids and HID interfaces, behind
// the simulation's lock, with the call log's values the tests compare.
#include <cstring>

#include "sim/state.h"
#include "world/sdk_records.h"

using sim::detail::AnswerLocked;
using sim::detail::TreeLocked;
using world::In;

namespace {

uintptr_t SetValue(HDEVINFO set) {
    return reinterpret_cast<uintptr_t>(set);
}

} // namespace

HDEVINFO SetupDiGetClassDevsA(const GUID* classGuid, LPCSTR enumerator, HWND parent, DWORD flags) {
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    uintptr_t set = 0;
    world::CallRecord record = TreeLocked().ClassDevs(
        reinterpret_cast<const unsigned char*>(classGuid), enumerator, flags,
        sim::detail::FaultsLocked(), static_cast<long>(sim::detail::NowLocked()), set);
    AnswerLocked(std::move(record), {.result = set != 0,
                                     .numbers = {flags},
                                     .pointers = {sim::detail::PointerOf(enumerator),
                                                  sim::detail::PointerOf(parent)}});
    return set != 0 ? reinterpret_cast<HDEVINFO>(set) : INVALID_HANDLE_VALUE;
}

BOOL SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, PSP_DEVINFO_DATA device) {
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    int d = -1;
    const auto ok = AnswerLocked(TreeLocked().EnumDevice(SetValue(set), index, In(device), d));
    world::FillDevice(device, d);
    return static_cast<BOOL>(ok);
}

BOOL SetupDiGetDeviceRegistryPropertyA(HDEVINFO set, PSP_DEVINFO_DATA device, DWORD property,
                                       PDWORD valueType, PBYTE buffer, DWORD bufferSize,
                                       PDWORD requiredSize) {
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    unsigned long required = 0;
    const std::string* ids = nullptr;
    int d = -1;
    world::CallRecord record = TreeLocked().HardwareIds(SetValue(set), In(device), property, buffer,
                                                        bufferSize, required, ids, d);
    const DWORD error = static_cast<DWORD>(record.error);
    const auto ok =
        AnswerLocked(std::move(record), {.result = error == 0, .numbers = {d, bufferSize, error}});
    world::Put(requiredSize, required);
    world::Put(valueType, required != 0 ? REG_MULTI_SZ : 0);
    if (ok) {
        std::memcpy(buffer, ids->data(), required);
    }
    return static_cast<BOOL>(ok);
}

BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA device, const GUID* interfaceClass,
                                 DWORD index, PSP_DEVICE_INTERFACE_DATA interfaceData) {
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    uintptr_t token = 0;
    const auto ok = AnswerLocked(TreeLocked().EnumInterface(
        SetValue(set), In(device), reinterpret_cast<const unsigned char*>(interfaceClass), index,
        In(interfaceData), token));
    world::FillInterface(interfaceData, token);
    return static_cast<BOOL>(ok);
}

BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA interfaceData,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD detailSize,
                                      PDWORD requiredSize, PSP_DEVINFO_DATA device) {
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    unsigned long required = 0;
    const std::string* path = nullptr;
    int d = -1;
    const auto ok = AnswerLocked(
        TreeLocked().InterfaceDetail(SetValue(set), In(interfaceData), In(detail),
                                     offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath),
                                     detailSize, In(device), required, path, d));
    world::Put(requiredSize, required);
    if (ok) {
        std::memcpy(detail->DevicePath, path->c_str(), path->size() + 1);
        world::FillDevice(device, d);
    }
    return static_cast<BOOL>(ok);
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) {
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    return static_cast<BOOL>(AnswerLocked(TreeLocked().DestroySet(SetValue(set))));
}
