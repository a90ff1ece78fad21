#include "tests/scenario_play.h"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <thread>

#include "bridge/button_masks.h"
#include "bridge/poll_worker.h"
#include "messages.h"
#include "service/service_lifecycle.h"
#include "tests/process_state.h"
#include "usbio/usbio_api.h"

HostRun PlayScenario(const world::Scenario& scenario, bool eventLog) {
    sim::Reset();
    ResetProcessState();
    if (scenario.library != "none") {
        sim::InstallCaptureLibrary();
    }
    sim::SetCaptureDevice(scenario.capture);
    for (const world::Fault& fault : scenario.faults) {
        sim::AddFault(fault);
    }
    for (size_t d = 0; d < scenario.devices.size(); ++d) {
        world::HidDevice device = scenario.devices[d];
        for (world::HidInterface& hid : device.interfaces) {
            hid.path = "\\\\?\\C:\\Joyvane\\" + world::InterfaceFileName(device, d);
        }
        sim::AddHidDevice(device);
    }
    HostRun run;
    if (scenario.stopAt < 0) {
        return run;
    }

    // The service's command line as the service manager starts it.
    std::istringstream numbers(scenario.service);
    std::vector<std::string> args{"joyvane_service.exe"};
    for (std::string number; numbers >> number;) {
        args.push_back(number);
    }
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    sim::StartedByServiceManager(true);
    // The service starts without letting time pass: the library is loaded at
    // virtual time 0, and the stop time is a virtual time as it stands.
    sim::At(static_cast<uint32_t>(scenario.stopAt), [] { sim::SendControl(SERVICE_CONTROL_STOP); });
    sim::BeginStdoutCapture();
    sim::TakeTurns(true);
    ServiceProcessMain(static_cast<int>(args.size()), argv.data());

    // The process ends here: a worker the stop let go of, still inside a library
    // call, never returns from it, and what it would print, trace or send later
    // never happens.
    run.processEnd = sim::Now();
    run.printed = sim::TakeStdout();
    run.traced = sim::DebugLines();
    run.calls = sim::Calls();
    run.deviceCalls = sim::DeviceCallRecords();
    run.reports = sim::Reports();
    run.statuses = sim::StatusReports();
    for (const sim::LoggedEvent& event : eventLog ? sim::LoggedEvents() : run.events) {
        if (event.id != MSG_SERVICE_STARTED && event.id != MSG_SERVICE_STOPPED &&
            event.id != MSG_SERVICE_STOPPED_WORKER_LET_GO) {
            run.events.push_back(event);
        }
    }
    // Here it runs out instead, so that the simulation can be reset; the stop
    // event it keeps is the process's end's to close.
    sim::TakeTurns(false);
    while (sim::RunningThreads() != 0) {
        std::this_thread::yield();
    }
    sim::EndStdoutCapture(false);
    if (HANDLE stop = workerStopEvent.exchange(nullptr)) {
        CloseHandle(stop);
    }

    return run;
}

namespace {

// A record at a virtual time, on the calling thread of from (0: the play's own).
world::CallRecord Record(int64_t ms, std::string call, const sim::Call* from = nullptr) {
    world::CallRecord record{.unixUs = ms * 1000,
                             .monoUs = ms * 1000,
                             .pid = 0,
                             .tid = 0,
                             .call = std::move(call),
                             .result = 1,
                             .error = 0,
                             .args = {}};
    if (from != nullptr) {
        record.tid = from->thread;
        record.result = from->values.result.value_or(1);
    }
    return record;
}

// One record a line of text, as the debug monitor and the console capture under
// Wine make them.
void AddLines(std::vector<world::CallRecord>& log, const world::CallRecord& each,
              const std::string& text) {
    for (size_t start = 0, end; start <= text.size(); start = end + 1) {
        end = std::min(text.find('\n', start), text.size());
        if (end > start) {
            log.push_back(world::CallRecord(each).Arg("text", text.substr(start, end - start)));
        }
    }
}

const char* const statusNames[] = {"type",     "state",      "accepted", "exit",
                                   "specific", "checkpoint", "wait_hint"};

} // namespace

std::vector<world::CallRecord> HostCallLog(const world::Scenario& scenario, const HostRun& run) {
    std::vector<world::CallRecord> log{Record(0, "Product")
                                           .Arg("service", serviceName)
                                           .Arg("stop_deadline_ms", workerStopDeadlineMs)
                                           .Arg("long_press_delay_ms", longPressDelayMs)
                                           .Arg("long_click_ms", longClickMs),
                                       Record(0, "Scenario")
                                           .Arg("service", scenario.service)
                                           .Arg("library", scenario.library)
                                           .Arg("stop", scenario.stopAt)};
    for (const auto& [time, state] : scenario.capture.Steps()) {
        log.push_back(Record(time, "Button").Arg("from", time).Arg("state", state));
    }
    // The device calls as the world recorded them, the reports with their roles.
    size_t reports = 0;
    for (world::CallRecord record : run.deviceCalls) {
        if (record.call == "HidD_SetFeature") {
            record.Arg("role", reports < scenario.expected.size() ? scenario.expected[reports].role
                                                                  : std::string("?"));
            ++reports;
        }
        log.push_back(std::move(record));
    }
    // What only the simulated Windows around the devices saw.
    for (const sim::Call& call : run.calls) {
        const std::vector<int64_t>& n = call.values.numbers;
        world::CallRecord record = Record(call.time, call.name, &call);
        if (call.name == "LoadLibraryExA" && record.result == 1 &&
            call.values.strings == std::vector<std::string>{usbIoLibraryName}) {
            record.call = "Load";
            record.Arg("dll", "ZUR_USBIO_KAD").Arg("flavour", scenario.library);
        } else if (call.name == "SetServiceStatus" && n.size() == 7) {
            // The sim keeps type, state, accepted, exit, specific, checkpoint, wait hint.
            for (size_t i : {1, 5, 6, 2, 3, 4, 0}) {
                record.Arg(statusNames[i], n[i]);
            }
        } else if (call.name == "OutputDebugStringA" && call.values.strings.size() == 1) {
            AddLines(log, record.Arg("pid", 0), call.values.strings[0]);
            continue;
        } else {
            continue;
        }
        log.push_back(record);
    }
    AddLines(log, Record(run.processEnd, "Stdout"), run.printed);
    log.push_back(Record(run.processEnd, "ExitProcess"));
    std::stable_sort(log.begin(), log.end(),
                     [](const auto& a, const auto& b) { return a.unixUs < b.unixUs; });
    return log;
}

std::string ReadTextFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}
