// joyvane_scenario FILE: plays one scenario on the simulated Windows and writes
// the host run, which the end-to-end run under Wine is judged against, as a call
// log (world/call_log.h), one record a line in the order of time:
//
//   Product   the constants of the product's headers that a judge needs
//   Scenario  the service's numbers, the library's flavour and the stop time
//   Button    the button script, one record a step
//   the device calls as the simulated Windows answered them: Load of the capture
//   library, its calls, Blocked, SetupDiGetClassDevsA, HidD_SetFeature (with the
//   role from the scenario's expect lines)
//   SetServiceStatus, OutputDebugStringA (one a line traced), Stdout (one a line
//   printed), ExitProcess where the service's process ends
//
// Times are milliseconds since the capture library was loaded. Exit status 1
// when the file has lines the scenario language does not know.
#include <algorithm>
#include <cstdio>

#include "bridge/button_masks.h"
#include "bridge/poll_worker.h"
#include "service/service_lifecycle.h"
#include "tests/scenario_play.h"
#include "world/call_log.h"

namespace {

struct Timed {
    uint32_t time;
    world::CallRecord record;
};

world::CallRecord Record(std::string call, const sim::Call* from = nullptr) {
    world::CallRecord record;
    record.tid = from != nullptr ? from->thread : 0;
    record.call = std::move(call);
    if (from != nullptr && from->values.result) {
        record.result = *from->values.result;
    }
    return record;
}

// One record a line of text, as the debug monitor and the console capture under
// Wine make them.
void AddLines(std::vector<Timed>& log, uint32_t time, const std::string& call,
              const std::string& text, const sim::Call* from) {
    size_t start = 0;
    for (size_t end; start <= text.size(); start = end + 1) {
        end = std::min(text.find('\n', start), text.size());
        if (end > start) {
            world::CallRecord record = Record(call, from);
            record.result = 1;
            if (call == "OutputDebugStringA") {
                record.Arg("pid", 0);
            }
            log.push_back({time, record.Arg("text", text.substr(start, end - start))});
        }
    }
}

std::vector<Timed> HostLog(const world::Scenario& scenario, const HostRun& run) {
    std::vector<Timed> log;
    log.push_back({0, Record("Product")
                          .Arg("service", serviceName)
                          .Arg("stop_deadline_ms", workerStopDeadlineMs)
                          .Arg("long_press_delay_ms", longPressDelayMs)
                          .Arg("long_click_ms", longClickMs)});
    log.push_back({0, Record("Scenario")
                          .Arg("service", scenario.service)
                          .Arg("library", scenario.library)
                          .Arg("stop", scenario.stopAt)});
    for (const auto& [time, state] : scenario.capture.Steps()) {
        log.push_back(
            {static_cast<uint32_t>(time), Record("Button").Arg("from", time).Arg("state", state)});
    }
    int sets = 0;
    size_t reports = 0;
    for (const sim::Call& call : run.calls) {
        const std::vector<int64_t>& n = call.values.numbers;
        world::CallRecord record = Record(call.name, &call);
        if (call.name.rfind("ZUR_USBIO_API_", 0) == 0) {
            if (!n.empty()) {
                record.Arg("device", n[0]);
            }
            if (n.size() > 1) {
                record.Arg("state", n[1]);
            }
        } else if (call.name == "Blocked") {
            // The sim logs this one as text only: "CALL until MS".
            const size_t space = call.args.find(' ');
            record.result = 1;
            record.Arg("call", call.args.substr(0, space))
                .Arg("until", std::stol(call.args.substr(call.args.rfind(' ') + 1)));
        } else if (call.name == "LoadLibraryExA" &&
                   call.values.strings == std::vector<std::string>{"ZUR_USBIO_KAD.dll"} &&
                   record.result == 1) {
            record = Record("Load").Arg("dll", "ZUR_USBIO_KAD").Arg("flavour", scenario.library);
            record.tid = call.thread;
        } else if (call.name == "SetupDiGetClassDevsA" && n.size() == 1) {
            char flags[16];
            std::snprintf(flags, sizeof flags, "0x%llx", static_cast<unsigned long long>(n[0]));
            if (call.values.pointers.at(0) == sim::Pointer::null) {
                record.Arg("enumerator", "null");
            }
            record.Arg("flags", flags);
            if (record.result != 0) {
                record.Arg("set", ++sets);
            }
        } else if (call.name == "HidD_SetFeature") {
            std::vector<unsigned char> bytes(n.begin(), n.end());
            record.Arg("length", static_cast<int64_t>(bytes.size()))
                .Arg("bytes", world::HexBytes(bytes.data(), bytes.size()))
                .Arg("role", reports < scenario.expected.size() ? scenario.expected[reports].role
                                                                : std::string("?"));
            ++reports;
        } else if (call.name == "SetServiceStatus" && n.size() == 7) {
            record.Arg("state", n[1])
                .Arg("checkpoint", n[5])
                .Arg("wait_hint", n[6])
                .Arg("accepted", n[2])
                .Arg("exit", n[3])
                .Arg("specific", n[4])
                .Arg("type", n[0]);
        } else if (call.name == "OutputDebugStringA" && call.values.strings.size() == 1) {
            AddLines(log, call.time, call.name, call.values.strings[0], &call);
            continue;
        } else {
            continue;
        }
        log.push_back({call.time, record});
    }
    AddLines(log, run.processEnd, "Stdout", run.printed, nullptr);
    log.push_back({run.processEnd, Record("ExitProcess")});
    std::stable_sort(log.begin(), log.end(),
                     [](const Timed& a, const Timed& b) { return a.time < b.time; });
    return log;
}

} // namespace

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
    for (Timed& line : HostLog(scenario, PlayScenario(scenario))) {
        line.record.unixUs = line.record.monoUs = static_cast<int64_t>(line.time) * 1000;
        std::printf("%s\n", world::CallLine(line.record).c_str());
    }
    sim::Reset();
    return 0;
}
