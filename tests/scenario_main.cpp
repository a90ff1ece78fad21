// joyvane_scenario FILE: plays one scenario on the simulated Windows and writes
// the host run, which the end-to-end run under Wine is judged against, as a call
// log, one record a line (HostCallLog in tests/scenario_play.h). Times are
// milliseconds since the capture library was loaded. Exit status 1 when the file
// has lines the scenario language does not know.
#include <cstdio>

#include "tests/scenario_play.h"
#include "world/call_log.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: joyvane_scenario FILE\n");
        return 2;
    }
    const world::Scenario scenario = world::ParseScenario(ReadTextFile(argv[1]));
    for (const std::string& line : scenario.ignored) {
        std::fprintf(stderr, "%s: not understood: %s\n", argv[1], line.c_str());
    }
    if (!scenario.ignored.empty()) {
        return 1;
    }
    for (const world::CallRecord& record : HostCallLog(scenario, PlayScenario(scenario))) {
        std::printf("%s\n", world::CallLine(record).c_str());
    }
    sim::Reset();
    return 0;
}
