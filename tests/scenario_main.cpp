// joyvane_scenario FILE: plays one scenario on the simulated Windows and prints
// the host run, which the end-to-end run under Wine is judged against:
//
//   service B M I P C | library NAME | stop T     as the scenario gives them
//   report T ok|refused B0 B1 B2 B3 B4 ROLE        each feature report (ROLE from
//                                                  the scenario's expect lines)
//   button T STATE                                 the button script
//   call T NAME ARGS                               each call into the capture library
//   trace TEXT / stdout TEXT                       the debug output and standard output
//   end T                                          when the service process ends
//
// Times are milliseconds since the capture library was loaded. Exit status 1
// when the file has lines the scenario language does not know.
#include <algorithm>
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
    const HostRun run = PlayScenario(scenario);
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
    for (const auto& [time, state] : scenario.capture.Steps()) {
        std::printf("button %ld %d\n", time, state);
    }
    for (const sim::Call& call : run.libraryCalls) {
        std::printf("call %u %s %s\n", call.time, call.name.c_str(), call.args.c_str());
    }
    // One line per line of text, as the debug monitor under Wine prints them.
    auto printLines = [](const char* kind, const std::string& text) {
        size_t start = 0;
        for (size_t end; start <= text.size(); start = end + 1) {
            end = std::min(text.find('\n', start), text.size());
            if (end > start) {
                std::printf("%s %s\n", kind, text.substr(start, end - start).c_str());
            }
        }
    };
    for (const std::string& message : run.traced) {
        printLines("trace", message);
    }
    printLines("stdout", run.printed);
    std::printf("end %u\n", run.processEnd);
    return 0;
}
