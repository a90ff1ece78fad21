#include "tests/scenario_play.h"

#include <fstream>
#include <sstream>
#include <thread>

#include "bridge/poll_worker.h"
#include "messages.h"
#include "service/service_lifecycle.h"
#include "tests/process_state.h"

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

std::string ReadTextFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}
