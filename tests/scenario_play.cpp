#include "tests/scenario_play.h"

#include <fstream>
#include <sstream>

#include "bridge/poll_worker.h"
#include "platform/event_log.h"
#include "tests/process_state.h"
#include "service/service_config.h"

HostRun PlayScenario(const world::Scenario& scenario, bool eventLog) {
    sim::Reset();
    ResetProcessState();
    if (eventLog) {
        OpenEventLog();
    }
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

    // The service's command line as the service reads it.
    std::istringstream numbers(scenario.service);
    std::vector<std::string> args{"joyvane_service.exe"};
    for (std::string number; numbers >> number;) {
        args.push_back(number);
    }
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    HostRun run;
    if (ParseCommandLine(static_cast<int>(argv.size()), argv.data()) != 1) {
        return run;
    }

    // The service's stop: a stop request, then, if the worker is still inside a
    // library call at the deadline, the joystick let go of without it; the
    // process ends then.
    const uint32_t stopAt = static_cast<uint32_t>(scenario.stopAt);
    run.processEnd = stopAt + workerStopDeadlineMs;
    sim::At(stopAt, [] { RequestWorkerStop(); });
    sim::BeginStdoutCapture();
    bool ended = false;
    sim::At(run.processEnd, [&run, &ended] {
        if (workerAlive.load() != 0) {
            LetGoOfJoystickForStuckWorker();
            // What the worker prints or traces after this, the process never does.
            run.printed = sim::TakeStdout();
            run.traced = sim::DebugLines();
            ended = true;
        }
    });
    auto* params = static_cast<ServiceConfig*>(LocalAlloc(LPTR, sizeof(ServiceConfig)));
    *params = serviceConfig;
    runFlag.store(1);
    HANDLE stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    workerStopEvent.store(stop);
    // The library is loaded as the worker starts, at virtual time 0: scenario
    // times and virtual times are the same.
    PollWorker(params);
    workerStopEvent.store(nullptr);
    CloseHandle(stop);
    if (sim::Now() < run.processEnd) {
        run.processEnd = sim::Now();
    }
    const std::string later = sim::TakeStdout();
    if (!ended) {
        run.printed = later;
        run.traced = sim::DebugLines();
    }
    sim::EndStdoutCapture(false);

    for (const sim::Report& report : sim::Reports()) {
        if (report.time <= run.processEnd) {
            run.reports.push_back(report);
        }
    }
    for (const sim::Call& call : sim::Calls()) {
        if ((call.name.rfind("ZUR_USBIO_API_", 0) == 0 || call.name == "Blocked" ||
             call.name == "SetupDiGetClassDevsA") &&
            call.time <= run.processEnd) {
            run.libraryCalls.push_back(call);
        }
    }
    CloseEventLog();
    run.events = sim::LoggedEvents();
    return run;
}

std::string ReadTextFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}
