// Plays a scenario (world/scenario.h) on the simulated Windows, exactly, on the
// virtual clock: the poll worker of the service with the scenario's five
// numbers meets the scenario's world, and the stop comes at the scenario's
// stop time, as the service's stop would bring it.
#pragma once

#include <string>
#include <vector>

#include "sim/sim.h"
#include "world/scenario.h"

struct HostRun {
    std::vector<sim::Report> reports;     // times since the library was loaded
    std::vector<sim::Call> libraryCalls;  // the capture library's and the joystick lookups
    uint32_t processEnd = 0;              // when the service process would end
    std::string printed;                  // its standard output until then
    std::vector<std::string> traced;      // its debug output until then
    std::vector<sim::LoggedEvent> events; // with eventLog: the service's events
};

// With eventLog, the service's event log is open for the run, as ServiceMain opens it.
HostRun PlayScenario(const world::Scenario& scenario, bool eventLog = false);

// Reads a file; empty when it cannot be read.
std::string ReadTextFile(const std::string& path);
