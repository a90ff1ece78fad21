// The HID class library over the simulated device tree: the world's preparsed
// data, capabilities and feature-report rules (world/hid_devices.h), behind the
// simulation's lock. A device handle is a simulated kernel handle, which names
// its device and interface; the reports written are kept for the tests.
#include <map>
#include <vector>

#include "sim/state.h"
#include "world/sdk_records.h"

namespace sim {
namespace {

world::DeviceTree tree;
std::vector<world::CallRecord> records;
bool recordReports = true;
std::vector<Report> reports;

// What a handle refers to: an open HID interface, another object (no file of a
// HID device), or nothing open. The always-present joystick of the tests is a
// plain joystick interface.
world::DeviceRef RefOf(HANDLE handle) {
    const detail::HandleEntry* entry = detail::FindHandleLocked(handle);
    if (entry == nullptr || entry->kind != detail::HandleKind::Device) {
        return {};
    }
    return {entry->device, entry->hidInterface};
}

uint64_t HandleKey(HANDLE handle) {
    return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(handle));
}

} // namespace

namespace detail {

void ResetDevicesLocked() {
    tree.Clear();
    records.clear();
    recordReports = true;
    reports.clear();
}

world::DeviceTree& TreeLocked() {
    return tree;
}

std::vector<DeviceSlot>& DevicesLocked() {
    return tree.Devices();
}

int DeviceSetsLocked() {
    return tree.LiveSets();
}

int PreparsedDataLocked() {
    return tree.LivePreparsed();
}

int64_t AnswerLocked(world::CallRecord record, CallValues values) {
    SetLastError(static_cast<DWORD>(record.error));
    const int64_t result = record.result;
    if (!LoggingLocked()) {
        return result;
    }
    LogCallLocked(record.call.c_str(), std::move(values));
    record.unixUs = record.monoUs = static_cast<int64_t>(NowLocked()) * 1000;
    record.tid = CurrentThreadIdLocked();
    records.push_back(std::move(record));
    return result;
}

} // namespace detail

void AddHidDevice(HidDevice device) {
    std::lock_guard<std::mutex> guard(detail::Lock());
    tree.Devices().push_back(world::DeviceSlot{std::move(device), true});
}

void UpdateHidDevice(size_t index, HidDevice device) {
    std::lock_guard<std::mutex> guard(detail::Lock());
    if (index < tree.Devices().size()) {
        tree.Devices()[index].device = std::move(device);
    }
}

void RemoveHidDevices() {
    std::lock_guard<std::mutex> guard(detail::Lock());
    for (world::DeviceSlot& slot : tree.Devices()) {
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

std::vector<world::CallRecord> DeviceCallRecords() {
    std::lock_guard<std::mutex> guard(detail::Lock());
    return records;
}

} // namespace sim

void HidD_GetHidGuid(LPGUID hidGuid) {
    world::CopyGuid(*hidGuid, world::hidInterfaceClass);
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    sim::detail::AnswerLocked(world::Called("HidD_GetHidGuid")
                                  .Arg("guid", world::GuidText(world::hidInterfaceClass.bytes)));
}

BOOLEAN HidD_GetPreparsedData(HANDLE device, PHIDP_PREPARSED_DATA* preparsedData) {
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    uintptr_t data = 0;
    const auto got = sim::detail::AnswerLocked(
        sim::tree.GetPreparsed(sim::HandleKey(device), sim::RefOf(device), preparsedData != nullptr,
                               static_cast<long>(sim::detail::NowLocked()), data));
    if (got) {
        *preparsedData = reinterpret_cast<PHIDP_PREPARSED_DATA>(data);
    }
    return static_cast<BOOLEAN>(got);
}

BOOLEAN HidD_FreePreparsedData(PHIDP_PREPARSED_DATA preparsedData) {
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    return static_cast<BOOLEAN>(sim::detail::AnswerLocked(
        sim::tree.FreePreparsed(reinterpret_cast<uintptr_t>(preparsedData))));
}

NTSTATUS HidP_GetCaps(PHIDP_PREPARSED_DATA preparsedData, PHIDP_CAPS capabilities) {
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    const world::HidInterface* caps = nullptr;
    const int64_t status = sim::detail::AnswerLocked(sim::tree.GetCaps(
        reinterpret_cast<uintptr_t>(preparsedData), capabilities != nullptr, caps));
    world::FillCaps(capabilities, caps);
    return static_cast<NTSTATUS>(status);
}

BOOLEAN HidD_SetFeature(HANDLE device, PVOID report, ULONG length) {
    // A held write is one the driver has not completed: CancelSynchronousIo ends it.
    const bool completed = sim::detail::IoCheckpoint("HidD_SetFeature");
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    const uint8_t* bytes = static_cast<const uint8_t*>(report);
    world::CallRecord record = sim::tree.SetFeature(
        sim::HandleKey(device), sim::RefOf(device), bytes, length, completed,
        sim::detail::FaultsLocked(), static_cast<long>(sim::detail::NowLocked()));
    const bool accepted = record.result != 0;
    std::vector<uint8_t> sent =
        bytes != nullptr ? std::vector<uint8_t>(bytes, bytes + length) : std::vector<uint8_t>{};
    if (sim::recordReports) {
        sim::reports.push_back(sim::Report{sim::detail::NowLocked(), sent, accepted});
    }
    sim::detail::AnswerLocked(std::move(record),
                              {.result = accepted,
                               .numbers = std::vector<int64_t>(sent.begin(), sent.end()),
                               .pointers = {sim::detail::PointerOf(device)}});
    return accepted ? TRUE : FALSE;
}
