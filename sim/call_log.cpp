#include <algorithm>
#include <string>
#include <ostream>
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
    held.serviceHandles = detail::ServiceHandlesLocked();
    held.registryKeys = detail::RegistryKeysLocked();
    held.waitableTimers = detail::CountHandlesLocked(detail::HandleKind::Timer);
    held.timerPeriods = detail::TimerPeriodsLocked();
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
    peak.serviceHandles = std::max(peak.serviceHandles, held.serviceHandles);
    peak.registryKeys = std::max(peak.registryKeys, held.registryKeys);
    peak.waitableTimers = std::max(peak.waitableTimers, held.waitableTimers);
    peak.timerPeriods = std::max(peak.timerPeriods, held.timerPeriods);
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

namespace {

// The values as one line: numbers, pointers (null or set) and quoted strings in
// that order, then the result after "->".
std::string TextOf(const CallValues& values) {
    std::string text;
    const auto add = [&text](const std::string& part) { text += (text.empty() ? "" : " ") + part; };
    for (int64_t number : values.numbers) {
        add(std::to_string(number));
    }
    for (Pointer pointer : values.pointers) {
        add(pointer == Pointer::null ? "null" : "set");
    }
    for (const std::string& string : values.strings) {
        add('"' + string + '"');
    }
    if (values.result) {
        add("-> " + std::to_string(*values.result));
    }
    return text;
}

} // namespace

void LogCallLocked(const char* name, CallValues values) {
    if (!logging) {
        return;
    }
    UpdatePeakLocked();
    std::string text = TextOf(values);
    calls.push_back(
        Call{NowLocked(), name, std::move(text), std::move(values), CurrentThreadIdLocked()});
}

} // namespace detail

void PrintTo(const CallValues& values, std::ostream* out) {
    *out << "{result ";
    if (values.result) {
        *out << *values.result;
    } else {
        *out << "none";
    }
    *out << ", numbers {";
    for (int64_t number : values.numbers) {
        *out << ' ' << number;
    }
    *out << " }, pointers {";
    for (Pointer pointer : values.pointers) {
        *out << (pointer == Pointer::null ? " null" : " set");
    }
    *out << " }, strings {";
    for (const std::string& text : values.strings) {
        *out << " \"" << text << '"';
    }
    *out << " }}";
}

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
    detail::ResetTurnsLocked();
    detail::ResetDevicesLocked();
    detail::ResetUserLocked();
    detail::ResetKernelLocked();
    detail::ResetLoaderLocked();
    detail::ResetServiceLocked();
    detail::ResetCaptureLocked();
    detail::ResetFaultsLocked();
    detail::ResetServiceDatabaseLocked();
    detail::ResetRegistryLocked();
    detail::ResetEventLogLocked();
    detail::ResetWaitableTimersLocked();
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
