// The simulated machine's one fault table: every platform call that can fail
// asks it, under the simulation's lock, at the virtual time of the call.
#include "sim/state.h"

namespace sim {
namespace {

world::FaultTable table;

} // namespace

namespace detail {

world::FaultTable& FaultsLocked() {
    return table;
}

void ResetFaultsLocked() {
    table.Clear();
}

} // namespace detail

void AddFault(world::Fault fault) {
    std::lock_guard<std::mutex> guard(detail::Lock());
    table.Add(std::move(fault));
}

void MendFault(std::string_view call) {
    std::lock_guard<std::mutex> guard(detail::Lock());
    table.Mend(call, static_cast<long>(detail::NowLocked()));
}

int CallCount(std::string_view call) {
    std::lock_guard<std::mutex> guard(detail::Lock());
    return table.Calls(call);
}

} // namespace sim
