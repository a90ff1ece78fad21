// Stand-in for setupapi.dll: the device-installation calls that find the virtual
// HID devices of world.scenario. Loaded instead of Wine's setupapi.dll through
// a per-application DLL override (see README.md), so it must export, undecorated
// and __stdcall, every setupapi function that the process imports.
//
// The sets, devices and every rule (results, last errors, the cbSize checks of
// the caller's records, the fault rules of the scenario) are the world's
// (world/hid_devices.h); this file converts the records and logs each call.
#define _SETUPAPI_ // define, rather than import, the functions declared below
#include <windows.h>
#include <setupapi.h>

#include "common/standin_log.h"
#include "hid/virtual_hid.h"

#include <cstddef>
#include <cstring>
#include <string>

// The 32-bit ANSI layouts the callers rely on; setupapi.h packs to 1 byte on
// 32-bit Windows, which gives the detail record its odd size of 5.
static_assert(sizeof(SP_DEVINFO_DATA) == 28);
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 28);
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 5);

// The SDK header has declared these functions already, and dllexport added to a
// redeclaration is refused by clang (-Wdll-attribute-on-redeclaration): setupapi.def
// names the exports instead.
#define SETUPAPI_EXPORT extern "C"

using virtual_hid::Answer;
using virtual_hid::EnterWorld;
using world::In;

namespace {

uintptr_t Set(HDEVINFO set) {
    return reinterpret_cast<uintptr_t>(set);
}

const unsigned char* Bytes(const GUID* guid) {
    return reinterpret_cast<const unsigned char*>(guid);
}

} // namespace

SETUPAPI_EXPORT HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* ClassGuid, PCSTR Enumerator, HWND,
                                                     DWORD Flags) {
    uintptr_t set = 0;
    world::DeviceTree& tree = EnterWorld();
    virtual_hid::PrepareDeviceFiles();
    Answer(tree.ClassDevs(Bytes(ClassGuid), Enumerator, Flags, virtual_hid::Faults(),
                          virtual_hid::SinceLoadMs(), set));
    return set != 0 ? reinterpret_cast<HDEVINFO>(set) : INVALID_HANDLE_VALUE;
}

SETUPAPI_EXPORT BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex,
                                                  PSP_DEVINFO_DATA DeviceInfoData) {
    int device = -1;
    world::DeviceTree& tree = EnterWorld();
    const BOOL ok =
        Answer(tree.EnumDevice(Set(DeviceInfoSet), MemberIndex, In(DeviceInfoData), device));
    world::FillDevice(DeviceInfoData, device);
    return ok;
}

SETUPAPI_EXPORT BOOL WINAPI
SetupDiGetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                  DWORD Property, PDWORD PropertyRegDataType, PBYTE PropertyBuffer,
                                  DWORD PropertyBufferSize, PDWORD RequiredSize) {
    unsigned long required = 0;
    const std::string* ids = nullptr;
    int device = -1;
    world::DeviceTree& tree = EnterWorld();
    const BOOL ok =
        Answer(tree.HardwareIds(Set(DeviceInfoSet), In(DeviceInfoData), Property, PropertyBuffer,
                                PropertyBufferSize, required, ids, device));
    // Type and required size are reported whether or not the data fits.
    world::Put(RequiredSize, required);
    world::Put(PropertyRegDataType, required != 0 ? REG_MULTI_SZ : 0);
    if (ok) {
        std::memcpy(PropertyBuffer, ids->data(), required);
    }
    return ok;
}

SETUPAPI_EXPORT BOOL WINAPI SetupDiEnumDeviceInterfaces(
    HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, const GUID* InterfaceClassGuid,
    DWORD MemberIndex, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
    uintptr_t token = 0;
    world::DeviceTree& tree = EnterWorld();
    const BOOL ok =
        Answer(tree.EnumInterface(Set(DeviceInfoSet), In(DeviceInfoData), Bytes(InterfaceClassGuid),
                                  MemberIndex, In(DeviceInterfaceData), token));
    world::FillInterface(DeviceInterfaceData, token);
    return ok;
}

SETUPAPI_EXPORT BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(
    HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
    PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData,
    DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize, PSP_DEVINFO_DATA DeviceInfoData) {
    unsigned long required = 0;
    const std::string* path = nullptr;
    int device = -1;
    world::DeviceTree& tree = EnterWorld();
    world::CallRecord record = tree.InterfaceDetail(
        Set(DeviceInfoSet), In(DeviceInterfaceData), In(DeviceInterfaceDetailData),
        offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath), DeviceInterfaceDetailDataSize,
        In(DeviceInfoData), required, path, device);
    if (record.result != 0) {
        std::memcpy(DeviceInterfaceDetailData->DevicePath, path->c_str(), path->size() + 1);
        world::FillDevice(DeviceInfoData, device);
    }
    world::Put(RequiredSize, required);
    return Answer(std::move(record));
}

SETUPAPI_EXPORT BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
    return Answer(EnterWorld().DestroySet(Set(DeviceInfoSet)));
}

extern "C" BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls(self);
        virtual_hid::Load(self, "setupapi");
    } else if (reason == DLL_PROCESS_DETACH) {
        const int live = EnterWorld().LiveSets();
        virtual_hid::LeaveWorld();
        virtual_hid::Unload("setupapi", reserved != nullptr, "live_sets", live);
    }
    return TRUE;
}
