#include <cstdio>
#include <vector>

#include "sim/state.h"

namespace sim {
namespace {

std::vector<Call> calls;

} // namespace

namespace detail {

std::mutex& Lock() {
    static std::mutex mutex;
    return mutex;
}

void LogLocked(const char* name, const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    calls.push_back(Call{NowLocked(), name, text});
}

} // namespace detail

void Reset() {
    // Whatever the product left running must end before its state goes.
    detail::JoinServiceThreads();
    detail::JoinThreads();
    detail::JoinTimerThreads();
    std::lock_guard<std::mutex> guard(detail::Lock());
    calls.clear();
    detail::ResetClockLocked();
    detail::ResetDevicesLocked();
    detail::ResetUserLocked();
    detail::ResetKernelLocked();
    detail::ResetLoaderLocked();
    detail::ResetSetupLocked();
    detail::ResetServiceLocked();
    detail::ResetCaptureLocked();
}

Resources Held() {
    std::lock_guard<std::mutex> guard(detail::Lock());
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
