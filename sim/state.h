// Internals shared by the files of the simulation. Every piece of simulated state
// is guarded by one mutex, so the simulation can be driven from several threads;
// callbacks into the product are always made with the mutex released.
#pragma once

#include <cstdarg>
#include <mutex>
#include <string>

#include "sim/sim.h"

namespace sim::detail {

std::mutex& Lock();

// Appends to the call log at the current virtual time; the caller holds Lock().
void LogLocked(const char* name, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

// Virtual time; the caller holds Lock().
uint32_t NowLocked();

// Hooks that Reset runs for each part of the simulation, with Lock() held.
void ResetClockLocked();
void ResetDevicesLocked();
void ResetUserLocked();

} // namespace sim::detail
