// The virtual joystick as the HID class library sees it: open device handles and
// the feature reports written to them.
#include <set>
#include <vector>

#include "sim/state.h"

namespace sim {
namespace {

std::set<HANDLE> joystickHandles;
uintptr_t nextHandle = 0x100;
bool refuseReports = false;
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

} // namespace

namespace detail {

void ResetDevicesLocked() {
    joystickHandles.clear();
    nextHandle = 0x100;
    refuseReports = false;
    reports.clear();
}

} // namespace detail

HANDLE OpenJoystickHandle() {
    std::lock_guard<std::mutex> guard(detail::Lock());
    HANDLE handle = reinterpret_cast<HANDLE>(nextHandle);
    nextHandle += 4;
    joystickHandles.insert(handle);
    return handle;
}

void RefuseFeatureReports(bool refuse) {
    std::lock_guard<std::mutex> guard(detail::Lock());
    refuseReports = refuse;
}

std::vector<Report> Reports() {
    std::lock_guard<std::mutex> guard(detail::Lock());
    return reports;
}

} // namespace sim

BOOLEAN HidD_SetFeature(HANDLE device, PVOID report, ULONG length) {
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    const uint8_t* bytes = static_cast<const uint8_t*>(report);
    bool accepted = sim::joystickHandles.count(device) != 0 && !sim::refuseReports;
    sim::reports.push_back(sim::Report{sim::detail::NowLocked(),
                                       std::vector<uint8_t>(bytes, bytes + length), accepted});
    sim::detail::LogLocked("HidD_SetFeature", "%p [%s] -> %d", device,
                           sim::Hex(bytes, length).c_str(), accepted ? 1 : 0);
    return accepted ? TRUE : FALSE;
}
