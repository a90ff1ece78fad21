// The HID class library over the simulated device tree: the HID interface class,
// preparsed data and capabilities of an open device, and the feature reports
// written to it.
#include <map>
#include <set>
#include <vector>

#include "sim/state.h"

struct SimPreparsedData {
    USHORT usagePage;
    USHORT usage;
    bool capsFail;
    unsigned long featureLength;
};

namespace sim {
namespace {

std::vector<detail::DeviceSlot> devices;
std::set<SimPreparsedData*> preparsed;
// When each handle was checked (HidD_GetPreparsedData right after its open), so
// that a driver restart can leave the handles opened before it dead.
std::map<HANDLE, long> checkedAt;
bool recordReports = true;
std::vector<Report> reports;

std::string Hex(const uint8_t* bytes, ULONG length) {
    std::string text;
    char byte[4];
    for (ULONG i = 0; i < length; ++i) {
        std::snprintf(byte, sizeof byte, i == 0 ? "%02x" : " %02x", bytes[i]);
        text += byte;
    }
    return text;
}

// The interface behind an open device handle, or nullptr for a handle that is
// not an open HID device (closed or never opened). The always-present joystick
// of the tests is a plain joystick interface.
const HidInterface* InterfaceOf(const detail::HandleEntry* entry) {
    static const HidInterface plainJoystick;
    if (entry == nullptr || entry->kind != detail::HandleKind::Device) {
        return nullptr;
    }
    if (entry->device < 0) {
        return &plainJoystick;
    }
    const std::vector<HidInterface>& interfaces = devices[entry->device].device.interfaces;
    size_t index = static_cast<size_t>(entry->hidInterface);
    return index < interfaces.size() ? &interfaces[index] : nullptr;
}

} // namespace

namespace detail {

void ResetDevicesLocked() {
    devices.clear();
    for (SimPreparsedData* data : preparsed) {
        delete data;
    }
    preparsed.clear();
    checkedAt.clear();
    recordReports = true;
    reports.clear();
}

std::vector<DeviceSlot>& DevicesLocked() {
    return devices;
}

GUID HidClassGuid() {
    // {4D1E55B2-F16F-11CF-88CB-001111000030}
    return GUID{0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
}

bool DevicePresentLocked(int device) {
    return device < 0 || (static_cast<size_t>(device) < devices.size() && devices[device].present);
}

int PreparsedDataLocked() {
    return static_cast<int>(preparsed.size());
}

} // namespace detail

void AddHidDevice(HidDevice device) {
    std::lock_guard<std::mutex> guard(detail::Lock());
    devices.push_back(detail::DeviceSlot{std::move(device), true});
}

void UpdateHidDevice(size_t index, HidDevice device) {
    std::lock_guard<std::mutex> guard(detail::Lock());
    if (index < devices.size()) {
        devices[index].device = std::move(device);
    }
}

void RemoveHidDevices() {
    std::lock_guard<std::mutex> guard(detail::Lock());
    for (detail::DeviceSlot& slot : devices) {
        slot.present = false;
    }
}

void SetReportRecording(bool on) {
    std::lock_guard<std::mutex> guard(detail::Lock());
    recordReports = on;
}

std::vector<Report> Reports(size_t first) {
    std::lock_guard<std::mutex> guard(detail::Lock());
    return first < reports.size() ? std::vector<Report>(reports.begin() + first, reports.end())
                                  : std::vector<Report>{};
}

} // namespace sim

void HidD_GetHidGuid(LPGUID hidGuid) {
    *hidGuid = sim::detail::HidClassGuid();
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    sim::detail::LogLocked("HidD_GetHidGuid", "%s", "");
}

BOOLEAN HidD_GetPreparsedData(HANDLE device, PHIDP_PREPARSED_DATA* preparsedData) {
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    const sim::HidInterface* hidInterface = sim::InterfaceOf(sim::detail::FindHandleLocked(device));
    BOOLEAN got = FALSE;
    if (hidInterface != nullptr && !hidInterface->preparsedDataFails) {
        *preparsedData = new SimPreparsedData{hidInterface->usagePage, hidInterface->usage,
                                              hidInterface->capsFail, hidInterface->featureLength};
        sim::preparsed.insert(*preparsedData);
        sim::checkedAt[device] = static_cast<long>(sim::detail::NowLocked());
        got = TRUE;
    } else {
        SetLastError(ERROR_INVALID_HANDLE);
    }
    sim::detail::LogLocked("HidD_GetPreparsedData", "%p -> %d", device, got);
    return got;
}

BOOLEAN HidD_FreePreparsedData(PHIDP_PREPARSED_DATA preparsedData) {
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    BOOLEAN freed = sim::preparsed.erase(preparsedData) != 0 ? TRUE : FALSE;
    if (freed) {
        delete preparsedData;
    }
    sim::detail::LogLocked("HidD_FreePreparsedData", "-> %d", freed);
    return freed;
}

NTSTATUS HidP_GetCaps(PHIDP_PREPARSED_DATA preparsedData, PHIDP_CAPS capabilities) {
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    NTSTATUS status = HIDP_STATUS_INVALID_PREPARSED_DATA;
    if (sim::preparsed.count(preparsedData) != 0 && !preparsedData->capsFail) {
        *capabilities = HIDP_CAPS{};
        capabilities->UsagePage = preparsedData->usagePage;
        capabilities->Usage = preparsedData->usage;
        capabilities->FeatureReportByteLength = static_cast<USHORT>(preparsedData->featureLength);
        status = HIDP_STATUS_SUCCESS;
    }
    sim::detail::LogLocked("HidP_GetCaps", "-> 0x%08x", static_cast<unsigned>(status));
    return status;
}

BOOLEAN HidD_SetFeature(HANDLE device, PVOID report, ULONG length) {
    // A held write is one the driver has not completed: CancelSynchronousIo ends it.
    const bool completed = sim::detail::IoCheckpoint("HidD_SetFeature");
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    const uint8_t* bytes = static_cast<const uint8_t*>(report);
    sim::detail::HandleEntry* entry = sim::detail::FindHandleLocked(device);
    const sim::HidInterface* hidInterface = sim::InterfaceOf(entry);
    const long now = static_cast<long>(sim::detail::NowLocked());
    DWORD error = ERROR_INVALID_HANDLE;
    if (!completed) {
        error = ERROR_OPERATION_ABORTED;
    } else if (hidInterface != nullptr && sim::detail::DevicePresentLocked(entry->device)) {
        const auto checked = sim::checkedAt.find(device);
        error = world::FeatureError(*hidInterface, bytes, length,
                                    checked == sim::checkedAt.end() ? now : checked->second, now);
    }
    if (const world::Fault* fault = sim::detail::FaultLocked("HidD_SetFeature");
        fault != nullptr && error == world::errorNone) {
        error = fault->error != 0 ? fault->error : world::errorGenFailure;
    }
    const bool accepted = error == world::errorNone;
    if (sim::recordReports) {
        sim::reports.push_back(sim::Report{sim::detail::NowLocked(),
                                           std::vector<uint8_t>(bytes, bytes + length), accepted});
    }
    if (sim::detail::LoggingLocked()) {
        sim::detail::LogCallLocked("HidD_SetFeature",
                                   {.result = accepted ? 1 : 0,
                                    .numbers = std::vector<int64_t>(bytes, bytes + length),
                                    .pointers = {sim::detail::PointerOf(device)}},
                                   "%p [%s] -> %d", device, sim::Hex(bytes, length).c_str(),
                                   accepted ? 1 : 0);
    }
    if (!accepted) {
        SetLastError(error);
    }
    return accepted ? TRUE : FALSE;
}
