#include <algorithm>
#include <cstdio>
#include <vector>

#include "sim/state.h"

namespace sim {
namespace {

std::vector<Call> calls;
bool logging = true;
Resources peak;

Resources HeldLocked() {
    Resources held;
    held.deviceHandles = detail::CountHandlesLocked(detail::HandleKind::Device);
    held.deviceSets = detail::DeviceSetsLocked();
    held.localBlocks = detail::LocalBlocksLocked();
    held.preparsedData = detail::PreparsedDataLocked();
    held.loadedModules = detail::LoadedModulesLocked();
    held.events = detail::CountHandlesLocked(detail::HandleKind::Event);
    held.threads = detail::CountHandlesLocked(detail::HandleKind::Thread);
    return held;
}

// Every call is logged after it took effect, so the peak is seen at each call.
void UpdatePeakLocked() {
    Resources held = HeldLocked();
    peak.deviceHandles = std::max(peak.deviceHandles, held.deviceHandles);
    peak.deviceSets = std::max(peak.deviceSets, held.deviceSets);
    peak.localBlocks = std::max(peak.localBlocks, held.localBlocks);
    peak.preparsedData = std::max(peak.preparsedData, held.preparsedData);
    peak.loadedModules = std::max(peak.loadedModules, held.loadedModules);
    peak.events = std::max(peak.events, held.events);
    peak.threads = std::max(peak.threads, held.threads);
}

} // namespace

namespace detail {

std::mutex& Lock() {
    static std::mutex mutex;
    return mutex;
}

bool LoggingLocked() {
    return logging;
}

void LogLocked(const char* name, const char* format, ...) {
    if (!logging) {
        return;
    }
    UpdatePeakLocked();
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    calls.push_back(Call{NowLocked(), name, text});
}

} // namespace detail

void Reset() {
    // Whatever the product left running must end before its state goes; a thread
    // held at a call could not.
    detail::ReleaseHolds();
    detail::JoinServiceThreads();
    detail::JoinThreads();
    detail::JoinTimerThreads();
    std::lock_guard<std::mutex> guard(detail::Lock());
    calls.clear();
    logging = true;
    peak = Resources{};
    detail::ResetClockLocked();
    detail::ResetDevicesLocked();
    detail::ResetUserLocked();
    detail::ResetKernelLocked();
    detail::ResetLoaderLocked();
    detail::ResetSetupLocked();
    detail::ResetServiceLocked();
    detail::ResetCaptureLocked();
    detail::ResetFaultsLocked();
}

Resources Held() {
    std::lock_guard<std::mutex> guard(detail::Lock());
    return HeldLocked();
}

Resources PeakHeld() {
    std::lock_guard<std::mutex> guard(detail::Lock());
    UpdatePeakLocked();
    return peak;
}

void SetCallLogging(bool on) {
    std::lock_guard<std::mutex> guard(detail::Lock());
    logging = on;
}

std::vector<Call> Calls() {
    std::lock_guard<std::mutex> guard(detail::Lock());
    return calls;
}

std::vector<Call> CallsNamed(std::string_view name) {
    std::lock_guard<std::mutex> guard(detail::Lock());
    std::vector<Call> named;
    for (const Call& call : calls) {
        if (call.name == name) {
            named.push_back(call);
        }
    }
    return named;
}

} // namespace sim
