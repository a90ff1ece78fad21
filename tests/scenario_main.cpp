// joyvane_scenario FILE: plays one scenario on the simulated Windows and prints
// the host run, which the end-to-end run under Wine is judged against:
//
//   service B M I P C | library NAME | stop T     as the scenario gives them
//   report T ok|refused B0 B1 B2 B3 B4 ROLE        each feature report (ROLE from
//                                                  the scenario's expect lines)
//   call T NAME ARGS                               each call into the capture library
//   end T                                          when the service process ends
//
// Times are milliseconds since the capture library was loaded. Exit status 1
// when the file has lines the scenario language does not know.
#include <cstdio>

#include "tests/scenario_play.h"

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
    // What the service prints is not part of the host run's text.
    sim::BeginStdoutCapture();
    const HostRun run = PlayScenario(scenario);
    sim::EndStdoutCapture(false);
    std::printf("service %s\nlibrary %s\nstop %ld\n", scenario.service.c_str(),
                scenario.library.c_str(), scenario.stopAt);
    for (size_t i = 0; i < run.reports.size(); ++i) {
        const sim::Report& report = run.reports[i];
        std::printf("report %u %s", report.time, report.accepted ? "ok" : "refused");
        for (uint8_t byte : report.bytes) {
            std::printf(" %02x", byte);
        }
        std::printf(" %s\n",
                    i < scenario.expected.size() ? scenario.expected[i].role.c_str() : "?");
    }
    for (const sim::Call& call : run.libraryCalls) {
        std::printf("call %u %s %s\n", call.time, call.name.c_str(), call.args.c_str());
    }
    std::printf("end %u\n", run.processEnd);
    return 0;
}
