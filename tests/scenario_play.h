// Plays a scenario (world/scenario.h) on the simulated Windows, exactly, on the
// virtual clock: the service's own entry, started by the simulated service
// manager with the scenario's five numbers, meets the scenario's world; the stop
// control comes at the scenario's stop time, and the run ends where the service's
// process ends.
#pragma once

#include <string>
#include <vector>

#include "sim/sim.h"
#include "world/call_log.h"
#include "world/scenario.h"

// Everything until the process ended. The service starts without letting
// virtual time pass, so its worker loads the capture library at virtual time 0:
// virtual times are scenario times.
struct HostRun {
    std::vector<sim::Report> reports;
    std::vector<sim::Call> calls;
    std::vector<world::CallRecord> deviceCalls; // the world's records of the device calls
    std::vector<sim::StatusReport> statuses;    // each SetServiceStatus
    uint32_t processEnd = 0;
    std::string printed;                  // its standard output
    std::vector<std::string> traced;      // its debug output
    std::vector<sim::LoggedEvent> events; // with eventLog: the worker's and the stop's
                                          // events, between the service's own start
                                          // and stop events
};

HostRun PlayScenario(const world::Scenario& scenario, bool eventLog = false);

// The host run as a call log (world/call_log.h), in the order of time: Product
// (the constants of the product's headers a judge needs), Scenario, Button (the
// button script, a record a step), the device calls as the simulated Windows
// answered them (Load of the capture library, its calls, Blocked,
// SetupDiGetClassDevsA, HidD_SetFeature with the role from the expect lines),
// SetServiceStatus, OutputDebugStringA (a record a line traced), Stdout (a record
// a line printed) and ExitProcess where the service's process ended.
std::vector<world::CallRecord> HostCallLog(const world::Scenario& scenario, const HostRun& run);

// Reads a file; empty when it cannot be read.
std::string ReadTextFile(const std::string& path);
