// The service as the service control manager sees it, on real threads: the
// dispatcher, ServiceMain, the worker and the timer run side by side, with the
// clock in (scaled) real time.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "bridge/poll_worker.h"
#include "usbio/usbio_api.h"
#include "service/service_lifecycle.h"
#include "tests/product_fixture.h"

namespace {

class ServiceLifecycleTest : public ServiceProcessTest {
  protected:
    // Waits for the process to end, as the service manager sees it end.
    void Finish() {
        process.join();
        EXPECT_TRUE(sim::ServiceMainReturned());
        EXPECT_EQ(0, sim::RunningThreads());
        // A long click that the stop did not wait for holds its timer until it
        // ends on the timer's thread (on Windows the process's end closes it).
        sim::WaitForTimers();
        EXPECT_EQ(sim::Resources{}, sim::Held());
    }

    // Virtual milliseconds from a control to the stopped report.
    uint32_t StopTime(DWORD control) {
        uint32_t sent = sim::Now();
        EXPECT_TRUE(sim::SendControl(control));
        std::vector<sim::StatusReport> reports = sim::StatusReports();
        return reports.empty() ? 0 : reports.back().time - sent;
    }
};

struct StopControl {
    DWORD control;
    const char* name;
};
PRINTED_BY_TEST_NAME(StopControl)

const StopControl stopControls[] = {{SERVICE_CONTROL_STOP, "stop"},
                                    {SERVICE_CONTROL_SHUTDOWN, "shutdown"}};

template <typename Case>
class ServiceLifecycleCases : public ServiceLifecycleTest,
                              public ::testing::WithParamInterface<Case> {};

using StopControlTest = ServiceLifecycleCases<StopControl>;

TEST_P(StopControlTest, ReportsItsWayUpAndDownAndStopsTheWorker) {
    const StopControl& c = GetParam();
    Start();
    ASSERT_TRUE(sim::WaitForServiceState(SERVICE_RUNNING, waitMs)) << c.name;
    ASSERT_TRUE(WaitForCalls("ZUR_USBIO_API_GetGPIO"));
    EXPECT_TRUE(sim::SendControl(c.control)) << c.name;
    Finish();
    EXPECT_EQ("2/1/3000 2/2/1000 4/0/0 3/1/3000 1/0/0", sim::StatusSequence()) << c.name;
    std::vector<DWORD> accepted;
    for (const sim::StatusReport& report : sim::StatusReports()) {
        EXPECT_EQ(SERVICE_WIN32_OWN_PROCESS, report.status.dwServiceType);
        EXPECT_EQ(0u, report.status.dwWin32ExitCode);
        EXPECT_EQ(0u, report.status.dwServiceSpecificExitCode);
        accepted.push_back(report.status.dwControlsAccepted);
    }
    EXPECT_EQ((std::vector<DWORD>{0, 0, 5, 5, 5}), accepted) << c.name;
    // The joystick was left with its buttons up, and the worker had left
    // before stopped was reported.
    std::vector<sim::Report> reports = sim::Reports();
    ASSERT_LE(2u, reports.size());
    EXPECT_EQ(0, ReportValue(reports.back()));
    EXPECT_LE(sim::CallsNamed("FreeLibrary").back().time, sim::StatusReports().back().time);
    std::vector<sim::Call> registrations = sim::CallsNamed("RegisterServiceCtrlHandlerA");
    ASSERT_EQ(1u, registrations.size());
    EXPECT_EQ((sim::CallValues{
                  .result = 1, .pointers = {sim::Pointer::set}, .strings = {"ZUR Service 1.02"}}),
              registrations[0].values);
    // ServiceMain's stop event, then the worker's: manual reset, not signalled,
    // without security attributes or a name.
    std::vector<sim::Call> events = sim::CallsNamed("CreateEventA");
    ASSERT_EQ(2u, events.size());
    for (const sim::Call& event : events) {
        ASSERT_TRUE(event.values.result.has_value());
        EXPECT_NE(0, *event.values.result);
        EXPECT_EQ((sim::CallValues{.result = event.values.result,
                                   .numbers = {TRUE, FALSE},
                                   .pointers = {sim::Pointer::null, sim::Pointer::null}}),
                  event.values)
            << event.args;
    }
    EXPECT_NE(events[0].values.result, events[1].values.result);
}

INSTANTIATE_TEST_SUITE_P(Controls, StopControlTest, ::testing::ValuesIn(stopControls),
                         NamedBy<&StopControl::name>());

TEST_F(ServiceLifecycleTest, AnInterrogationReportsRunningAgain) {
    Start();
    ASSERT_TRUE(sim::WaitForServiceState(SERVICE_RUNNING, waitMs));
    EXPECT_TRUE(sim::SendControl(SERVICE_CONTROL_INTERROGATE));
    EXPECT_TRUE(sim::SendControl(SERVICE_CONTROL_PAUSE));
    EXPECT_TRUE(sim::SendControl(SERVICE_CONTROL_STOP));
    Finish();
    EXPECT_EQ("2/1/3000 2/2/1000 4/0/0 4/0/0 4/0/0 3/1/3000 1/0/0", sim::StatusSequence());
}

// Before ServiceMain reports running, a control other than stop reports the
// service as starting, never the invalid state 0 that would stop it.
TEST_F(ServiceLifecycleTest, AControlDuringStartUpReportsStartPending) {
    statusHandle.store(RegisterServiceCtrlHandlerA("ZUR Service 1.02", ServiceCtrlHandler));
    ServiceCtrlHandler(SERVICE_CONTROL_INTERROGATE);
    EXPECT_EQ("2/0/0", sim::StatusSequence());
    EXPECT_EQ(0u, sim::StatusReports()[0].status.dwControlsAccepted);
    EXPECT_TRUE(sim::CallsNamed("SetEvent").empty());
}

struct RefusedReport {
    int nth;
    bool stopControl;
    const char* sequence;
    size_t workers;
    size_t events; // ServiceMain's stop event, and the worker's when it runs
};
PRINTED_BY_TEST_NAME(RefusedReport)

// A refused report runs the stop sequence once: the worker stops, each event is
// signalled once, and stopped is reported (and never retried from within).
const RefusedReport refusedReports[] = {
    {1, false, "2/1/3000! 1/0/0", 0, 0},
    {2, false, "2/1/3000 2/2/1000! 1/0/0", 0, 1},
    {3, false, "2/1/3000 2/2/1000 4/0/0! 1/0/0", 1, 2},
    {4, true, "2/1/3000 2/2/1000 4/0/0 3/1/3000! 1/0/0 1/0/0", 1, 2},
    {5, true, "2/1/3000 2/2/1000 4/0/0 3/1/3000 1/0/0!", 1, 2},
};

using RefusedReportTest = ServiceLifecycleCases<RefusedReport>;

TEST_P(RefusedReportTest, RunsTheStopSequenceOnce) {
    const RefusedReport& c = GetParam();
    sim::AddFault({.call = "SetServiceStatus", .firstCall = c.nth});
    Start();
    if (c.stopControl) {
        ASSERT_TRUE(sim::WaitForServiceState(SERVICE_RUNNING, waitMs)) << c.nth;
        EXPECT_TRUE(sim::SendControl(SERVICE_CONTROL_STOP)) << c.nth;
    }
    Finish();
    EXPECT_EQ(c.sequence, sim::StatusSequence()) << c.nth;
    EXPECT_EQ(c.workers, sim::CallsNamed("CreateThread").size()) << c.nth;
    EXPECT_EQ(c.events, sim::CallsNamed("SetEvent").size()) << c.nth;
}

INSTANTIATE_TEST_SUITE_P(Reports, RefusedReportTest, ::testing::ValuesIn(refusedReports),
                         [](const ::testing::TestParamInfo<RefusedReport>& info) {
                             return "Report" + std::to_string(info.param.nth) + "Refused";
                         });

struct EarlyFailure {
    const char* why;
    void (*fail)();
    const char* sequence;
};
PRINTED_BY_TEST_NAME(EarlyFailure)

// Without a stop event or a worker the service could never be stopped; it reports
// stopped instead of staying "starting" for ever.
const EarlyFailure earlyFailures[] = {
    {"no control handler", [] { sim::AddFault({.call = "RegisterServiceCtrlHandlerA"}); }, ""},
    {"no stop event", [] { sim::AddFault({.call = "CreateEventA", .firstCall = 1}); },
     "2/1/3000 1/0/0"},
    {"no worker thread", [] { sim::AddFault({.call = "CreateThread", .firstCall = 1}); },
     "2/1/3000 2/2/1000 1/0/0"},
};

using EarlyFailureTest = ServiceLifecycleCases<EarlyFailure>;

TEST_P(EarlyFailureTest, EndsTheServiceWithoutHangingInStartPending) {
    const EarlyFailure& c = GetParam();
    c.fail();
    Start();
    Finish();
    EXPECT_EQ(c.sequence, sim::StatusSequence()) << c.why;
    EXPECT_EQ(0, runFlag.load()) << c.why;
}

INSTANTIATE_TEST_SUITE_P(Failures, EarlyFailureTest, ::testing::ValuesIn(earlyFailures),
                         NamedBy<&EarlyFailure::why>());

struct WorkerState {
    const char* name;
    std::vector<std::string> numbers;
    std::function<void()> arrange; // before the start
    std::function<void()> reach;   // after running was reported
    uint32_t atMostMs;             // virtual ms from the control to stopped
};
PRINTED_BY_TEST_NAME(WorkerState)

// The worker's pauses end when a stop is requested, so a stop takes about as long
// as the library call or report under way, whatever the worker is doing. The
// bound leaves room for the scaled clock's jitter (a real millisecond is ten
// virtual ones here); the figures printed are the ones in docs/performance.md.
const WorkerState workerStates[] = {
    {"connected, poll 30 ms",
     {"4", "1", "0", "30", "250"},
     nullptr,
     [] { EXPECT_TRUE(WaitForCalls("ZUR_USBIO_API_GetGPIO", 1)); },
     300},
    {"in the reconnect pause",
     {"4", "1", "0", "30", "250"},
     [] { sim::AddFault({.call = "ZUR_USBIO_API_Init", .from = 0, .until = 1000000}); },
     [] { EXPECT_TRUE(WaitForCalls("ZUR_USBIO_API_Init", 1)); },
     300},
    {"joystick absent",
     {"4", "1", "0", "30", "250"},
     [] { sim::RemoveHidDevices(); },
     [] { EXPECT_TRUE(WaitForCalls("ZUR_USBIO_API_InitI2c", 1)); },
     300},
    {"in the first poll's retries",
     {"4", "1", "0", "30", "250"},
     [] {
         // Each failing read takes a real millisecond, so the 101 retries
         // last about a virtual second.
         sim::AddFault({.call = "ZUR_USBIO_API_GetGPIO", .from = 0, .until = 1000000});
         sim::OnCaptureCall([](sim::CaptureCall call, int) {
             if (call == sim::CaptureCall::GetGpio) {
                 std::this_thread::sleep_for(std::chrono::milliseconds(1));
             }
         });
     },
     [] { EXPECT_TRUE(WaitForCalls("ZUR_USBIO_API_GetGPIO", 20)); },
     300},
    {"during a long click",
     {"4", "2", "0", "30", "250"},
     [] {
         sim::SetButtonTimeline({{0, gpioButtonDown}});
     },
     [] { EXPECT_TRUE(WaitForCalls("(timer fires)", 1)); },
     300},
    {"a long poll pause (10 s)",
     {"4", "1", "0", "10000", "250"},
     nullptr,
     [] { EXPECT_TRUE(WaitForCalls("ZUR_USBIO_API_GetGPIO", 1)); },
     300},
    {"a long click (10 s)",
     {"4", "1", "0", "30", "10000"},
     [] {
         sim::SetButtonTimeline({{0, gpioButtonDown}});
     },
     [] { EXPECT_TRUE(WaitForCalls("HidD_SetFeature", 2)); },
     300},
};

using WorkerStateTest = ServiceLifecycleCases<WorkerState>;

TEST_P(WorkerStateTest, AStopIsPrompt) {
    const WorkerState& state = GetParam();
    if (state.arrange) {
        state.arrange();
    }
    Start(state.numbers);
    ASSERT_TRUE(sim::WaitForServiceState(SERVICE_RUNNING, waitMs)) << state.name;
    state.reach();
    uint32_t stopTime = StopTime(SERVICE_CONTROL_STOP);
    Finish();
    EXPECT_LE(stopTime, state.atMostMs) << state.name;
    // Every button up before stopped, and nothing after it.
    std::vector<std::string> story = ReportsAndStatus();
    auto lastReport = std::find_if(story.rbegin(), story.rend(), [](const std::string& entry) {
        return entry.rfind("report", 0) == 0;
    });
    if (lastReport != story.rend()) {
        EXPECT_EQ("report 0", *lastReport) << state.name;
    }
    EXPECT_EQ("status 1", story.back()) << state.name;
    EXPECT_EQ(1, std::count(story.begin(), story.end(), "status 1")) << state.name;
    std::fprintf(stderr, "stop time %s: %u virtual ms\n", state.name, stopTime);
}

INSTANTIATE_TEST_SUITE_P(States, WorkerStateTest, ::testing::ValuesIn(workerStates),
                         NamedBy<&WorkerState::name>());

// The worker is stuck in a library call with button 4 held down (follow mode).
// The stop waits for it one second at most, then lets go of the joystick itself:
// the idle report is the last the device takes, before stopped is reported.
TEST_F(ServiceLifecycleTest, AStopWithTheLibraryBlockedLetsGoOfTheJoystickBeforeStopped) {
    sim::SetButtonTimeline({{0, gpioButtonDown}});
    Start({"4", "0", "0", "30", "250"});
    ASSERT_TRUE(sim::WaitForServiceState(SERVICE_RUNNING, waitMs));
    ASSERT_TRUE(WaitForCalls("ZUR_USBIO_API_GetGPIO", 1));
    int blocked = sim::HoldAt("ZUR_USBIO_API_GetGPIO");
    ASSERT_TRUE(sim::WaitUntilHeld(blocked, waitMs));
    uint32_t stopTime = StopTime(SERVICE_CONTROL_STOP);
    process.join();
    EXPECT_TRUE(sim::Held(blocked));
    std::vector<std::string> story = ReportsAndStatus();
    EXPECT_EQ(
        (std::vector<std::string>{"report 0", "report 8", "status 3", "report 0", "status 1"}),
        std::vector<std::string>(story.begin() + 3, story.end()));
    // One wait on the worker's thread, of the whole deadline.
    std::vector<sim::Call> waits = sim::CallsNamed("WaitForSingleObject");
    EXPECT_EQ(1, std::count_if(waits.begin(), waits.end(), [](const sim::Call& wait) {
                  return wait.values.strings == std::vector<std::string>{"thread"};
              }));
    ASSERT_FALSE(waits.empty());
    EXPECT_EQ((sim::CallValues{.numbers = {1001}, .strings = {"thread"}}), waits.back().values)
        << waits.back().args;
    EXPECT_GE(stopTime, 1001u);
    EXPECT_LE(stopTime, 1001u + 300u);
    std::fprintf(stderr, "stop time with the library blocked: %u virtual ms\n", stopTime);

    // Let go, the worker finds the joystick gone: nothing it sends reaches it.
    size_t before = sim::Reports().size();
    sim::ReleaseHold(blocked);
    EXPECT_TRUE(WaitUntil([] { return sim::RunningThreads() == 0; }, 2000));
    for (const sim::Report& report : sim::Reports(before)) {
        EXPECT_FALSE(report.accepted);
    }
}

struct HangingReport {
    const char* name;
    const char* mode;
    const char* cancelled;  // the hanging report, as it ends
    bool workerIdleMayCome; // the worker's own idle report may come before the stop's
};
PRINTED_BY_TEST_NAME(HangingReport)

// A report that the joystick's driver does not complete holds the joystick's lock
// and the worker with it (the press), or hangs on the timer thread while the
// worker waits for the lock as it leaves (the long click, at 2300). The stop waits
// its deadline for the worker, then cancels the write and sends the idle value
// itself: the report never reaches the joystick, and nothing does after stopped,
// even when the driver finishes late.
const HangingReport hangingReports[] = {
    {"a press", "0", "report 8!", false},
    {"a long click", "2", "report 16!", true},
};

using HangingReportTest = ServiceLifecycleCases<HangingReport>;

TEST_P(HangingReportTest, IsCancelledByTheStop) {
    const HangingReport& c = GetParam();
    sim::SetButtonTimeline({{1500, gpioButtonDown}});
    int hanging = sim::HoldAt("HidD_SetFeature", 2); // the one after the idle report
    Start({"4", c.mode, "0", "30", "250"});
    ASSERT_TRUE(sim::WaitUntilHeld(hanging, waitMs));
    std::thread control([] { EXPECT_TRUE(sim::SendControl(SERVICE_CONTROL_STOP)); });
    EXPECT_TRUE(sim::WaitForServiceState(SERVICE_STOPPED, 5000));
    sim::ReleaseHold(hanging);
    control.join();
    process.join();
    sim::WaitForTimers();
    std::vector<std::string> story = ReportsAndStatus();
    auto stopPending = std::find(story.begin(), story.end(), "status 3");
    ASSERT_NE(story.end(), stopPending);
    std::vector<std::string> tail(stopPending + 1, story.end());
    ASSERT_LE(3u, tail.size());
    EXPECT_EQ(c.cancelled, tail.front());
    EXPECT_EQ((std::vector<std::string>{"report 0", "status 1"}),
              std::vector<std::string>(tail.end() - 2, tail.end()));
    if (!c.workerIdleMayCome) {
        EXPECT_EQ(3u, tail.size());
    }
    std::vector<sim::Call> cancels = sim::CallsNamed("CancelSynchronousIo");
    ASSERT_FALSE(cancels.empty());
    EXPECT_EQ(TRUE, cancels[0].values.result);
    EXPECT_EQ(SERVICE_STOPPED, sim::StatusReports().back().status.dwCurrentState);
    // After the stop, an interrogation reports the service as stopped.
    ServiceCtrlHandler(SERVICE_CONTROL_INTERROGATE);
    EXPECT_EQ(SERVICE_STOPPED, sim::StatusReports().back().status.dwCurrentState);
}

// Named among the worker's states at the stop: held in a report.
INSTANTIATE_TEST_SUITE_P(States, HangingReportTest, ::testing::ValuesIn(hangingReports),
                         NamedBy<&HangingReport::name>());

// A refused report on the service thread runs the stop sequence while a stop
// control runs it on the dispatcher thread. Neither may report stopped before the
// worker let go of the joystick, and the stop event is signalled once, while it
// is still open.
TEST_F(ServiceLifecycleTest, TwoStopSequencesAtOnceBothEndOnlyWhenTheStopIsComplete) {
    sim::SetButtonTimeline({{0, gpioButtonDown}});
    Start({"4", "0", "0", "30", "250"});
    ASSERT_TRUE(sim::WaitForServiceState(SERVICE_RUNNING, waitMs));
    ASSERT_TRUE(WaitForCalls("ZUR_USBIO_API_GetGPIO", 1));
    int blocked = sim::HoldAt("ZUR_USBIO_API_GetGPIO");
    ASSERT_TRUE(sim::WaitUntilHeld(blocked, waitMs));
    std::thread control([] { EXPECT_TRUE(sim::SendControl(SERVICE_CONTROL_STOP)); });
    ASSERT_TRUE(sim::WaitForServiceState(SERVICE_STOP_PENDING, waitMs));
    StopService();
    std::vector<std::string> whenReturned = ReportsAndStatus();
    control.join();
    process.join();
    sim::ReleaseHold(blocked);

    ASSERT_LE(3u, whenReturned.size());
    // By then the joystick was let go, and only after that was stopped reported.
    auto stopPending = std::find(whenReturned.begin(), whenReturned.end(), "status 3");
    ASSERT_LE(2, whenReturned.end() - stopPending);
    EXPECT_EQ((std::vector<std::string>{"report 0", "status 1"}),
              std::vector<std::string>(stopPending + 1, stopPending + 3));
    EXPECT_EQ("2/1/3000 2/2/1000 4/0/0 3/1/3000 1/0/0 1/0/0", sim::StatusSequence());
    // The worker's stop event and ServiceMain's, each once and while open.
    std::vector<sim::Call> sets = sim::CallsNamed("SetEvent");
    ASSERT_EQ(2u, sets.size());
    for (const sim::Call& set : sets) {
        EXPECT_EQ(TRUE, set.values.result) << set.args;
    }
    EXPECT_NE(sets[0].values.numbers, sets[1].values.numbers);
}

TEST_F(ServiceLifecycleTest, StartedFromAConsoleTheProcessEndsAtOnce) {
    sim::StartedByServiceManager(false);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(0, RunMain(ServiceProcessMain, {"joyvane_service.exe", "4", "1", "0", "30", "250"}));
    // The user who started it by hand is told what it is, and what to run instead.
    EXPECT_EQ("joyvane_service.exe is a Windows service: install it with install.cmd or the MSI "
              "(as administrator) and it starts with Windows; \"joyvane_console.exe 4 1 0 30 "
              "250\" runs the bridge in this console.\n",
              ::testing::internal::GetCapturedStderr());
    EXPECT_EQ("", sim::TakeStdout());
    EXPECT_EQ((std::vector<std::string>{"ZUR Joyvane: INIT - VideoCaptureResources....",
                                        "ZUR Joyvane: .... Error 4", "ZUR Joyvane: 17476"}),
              sim::DebugLines());
    EXPECT_TRUE(sim::CallsNamed("CreateThread").empty());
    EXPECT_TRUE(sim::StatusReports().empty());
}

struct RefusedProcess {
    const char* how;
    bool byServiceManager;
    int (*run)();
    int result;
    size_t messageBoxes;
    DWORD error; // every status report's exit code
    const char* statusSequence;
    std::vector<std::string> traces;
};
PRINTED_BY_TEST_NAME(RefusedProcess)

int FourNumbers() {
    return RunMain(ServiceProcessMain, {"joyvane_service.exe", "4", "1", "0", "30"});
}
int MissingHidDll() {
    return RefuseServiceProcess(ERROR_MOD_NOT_FOUND, "hid.dll");
}
const std::vector<std::string> missingHidDll = {
    "ZUR Joyvane: Error: not found in System32:", "ZUR Joyvane: hid.dll", "ZUR Joyvane: 126"};

// Four numbers: started by the service manager, where no message box could be
// seen, the start fails at once with ERROR_INVALID_PARAMETER; from a desktop or a
// console the user gets the message box. A program that finds a system DLL missing
// from System32 cannot work: as a service its start fails at once with the
// loader's error, from a console the trace says why. Nothing starts either way.
const RefusedProcess refusedProcesses[] = {
    {"an incomplete command line by the service manager",
     true,
     FourNumbers,
     0,
     0,
     ERROR_INVALID_PARAMETER,
     "1/0/0",
     {"ZUR Joyvane: Error: Wrong number of arguments !"}},
    {"an incomplete command line from a console",
     false,
     FourNumbers,
     0,
     1,
     ERROR_INVALID_PARAMETER,
     "",
     {}},
    {"a missing system DLL by the service manager", true, MissingHidDll, 1, 0, ERROR_MOD_NOT_FOUND,
     "1/0/0", missingHidDll},
    {"a missing system DLL from a console", false, MissingHidDll, 1, 0, ERROR_MOD_NOT_FOUND, "",
     missingHidDll},
};

using RefusedProcessTest = ServiceLifecycleCases<RefusedProcess>;

TEST_P(RefusedProcessTest, FailsTheStartOrSaysWhyAndStartsNothing) {
    const RefusedProcess& c = GetParam();
    sim::StartedByServiceManager(c.byServiceManager);
    EXPECT_EQ(c.result, c.run()) << c.how;
    EXPECT_EQ(c.messageBoxes, sim::CallsNamed("MessageBoxA").size()) << c.how;
    EXPECT_EQ(c.statusSequence, sim::StatusSequence()) << c.how;
    for (const sim::StatusReport& report : sim::StatusReports()) {
        EXPECT_EQ(c.error, report.status.dwWin32ExitCode);
    }
    EXPECT_EQ(c.traces, sim::DebugLines()) << c.how;
    EXPECT_TRUE(sim::CallsNamed("CreateThread").empty()) << c.how;
    EXPECT_TRUE(sim::CallsNamed("LoadLibraryExA").empty()) << c.how;
}

INSTANTIATE_TEST_SUITE_P(Starts, RefusedProcessTest, ::testing::ValuesIn(refusedProcesses),
                         NamedBy<&RefusedProcess::how>());

struct RefusedStart {
    const char* why;
    std::vector<std::string> numbers;
};
PRINTED_BY_TEST_NAME(RefusedStart)

// A start that cannot work ends the service with the Windows error as its exit
// code, so that the service manager logs "terminated with the following error"
// and applies its recovery; every report before stopped keeps exit code 0. The
// refused mode is traced with the value given. A missing or unusable capture
// library is no such start: the service waits for it.
const RefusedStart refusedStarts[] = {
    {"mode 3", {"4", "3", "0", "30", "250"}},
    {"mode -1", {"4", "-1", "0", "30", "250"}},
};

using RefusedStartTest = ServiceLifecycleCases<RefusedStart>;

TEST_P(RefusedStartTest, AStartThatCannotWorkStopsWithTheErrorAsExitCode) {
    const RefusedStart& c = GetParam();
    Start(c.numbers);
    Finish();
    EXPECT_EQ("2/1/3000 2/2/1000 1/0/0", sim::StatusSequence()) << c.why;
    std::vector<sim::StatusReport> reports = sim::StatusReports();
    ASSERT_FALSE(reports.empty()) << c.why;
    EXPECT_EQ(87u, reports.back().status.dwWin32ExitCode) << c.why;
    EXPECT_EQ(0u, reports.back().status.dwServiceSpecificExitCode) << c.why;
    for (size_t i = 0; i + 1 < reports.size(); ++i) {
        EXPECT_EQ(0u, reports[i].status.dwWin32ExitCode) << c.why;
    }
    EXPECT_EQ((std::vector<std::string>{"ZUR Joyvane: INIT - VideoCaptureResources....",
                                        "ZUR Joyvane: Error: the mode must be 0, 1 or 2",
                                        "ZUR Joyvane: " + c.numbers[1]}),
              sim::DebugLines());
    EXPECT_TRUE(sim::CallsNamed("CreateThread").empty()) << c.why;
    EXPECT_EQ(0, sim::ModuleLoads("ZUR_USBIO_KAD.dll")) << c.why;
    EXPECT_EQ(sim::Resources{}, sim::Held()) << c.why;
}

INSTANTIATE_TEST_SUITE_P(Starts, RefusedStartTest, ::testing::ValuesIn(refusedStarts),
                         NamedBy<&RefusedStart::why>());

struct WaitingStart {
    const char* why;
    std::function<void()> arrange; // the library that lies beside the program
    std::vector<std::string> traces;
};
PRINTED_BY_TEST_NAME(WaitingStart)

const char libraryPath[] = "C:\\Joyvane\\ZUR_USBIO_KAD.dll";

// An installer may start the service before the library is copied in: the service
// runs, says once why it waits, and polls as soon as a usable library is there.
const WaitingStart waitingStarts[] = {
    {"no capture library",
     [] {},
     {"ZUR Joyvane: Capture library not found, waiting for it: C:\\Joyvane\\ZUR_USBIO_KAD.dll",
      "ZUR Joyvane: 126"}},
    {"a 64-bit capture library",
     [] { sim::RegisterModule("ZUR_USBIO_KAD.dll", {}, ERROR_BAD_EXE_FORMAT); },
     {"ZUR Joyvane: Capture library is no 32-bit DLL, waiting for another: "
      "C:\\Joyvane\\ZUR_USBIO_KAD.dll",
      "ZUR Joyvane: 193"}},
    {"a library without GetGPIO",
     [] { sim::InstallCaptureLibrary(sim::DllFolder::Application, "ZUR_USBIO_API_GetGPIO"); },
     {"ZUR Joyvane: Capture library lacks ZUR_USBIO_API_GetGPIO, waiting for another: "
      "C:\\Joyvane\\ZUR_USBIO_KAD.dll",
      "ZUR Joyvane: 127"}},
};

class WaitingStartTest : public ServiceLifecycleCases<WaitingStart> {
  protected:
    void SetUp() override {
        ServiceLifecycleCases<WaitingStart>::SetUp();
        sim::Reset();
        ResetProductState();
        sim::AddHidDevice(VirtualJoystick());
        sim::StartedByServiceManager(true);
        sim::UseRealTime(realPerVirtual);
    }
};

TEST_P(WaitingStartTest, WithoutAUsableLibraryTheServiceRunsAndWaitsForOne) {
    const WaitingStart& c = GetParam();
    c.arrange();
    // The fourth try is held before it loads anything: the good library is copied
    // over then, where no load of the bad one is under way.
    int fourthTry = sim::HoldAt("LoadLibraryExA", 4);
    Start({"4", "1", "0", "30", "250"});
    ASSERT_TRUE(sim::WaitForServiceState(SERVICE_RUNNING, waitMs)) << c.why;
    ASSERT_TRUE(sim::WaitUntilHeld(fourthTry, waitMs)) << c.why;
    // Three tries a second apart, and the service still running.
    std::vector<sim::Call> loads = sim::CallsNamed("LoadLibraryExA");
    ASSERT_EQ(3u, loads.size()) << c.why;
    EXPECT_NEAR(1000, loads[2].time - loads[1].time, 100) << c.why;
    EXPECT_EQ("2/1/3000 2/2/1000 4/0/0", sim::StatusSequence()) << c.why;
    std::vector<std::string> traces = {"ZUR Joyvane: INIT - VideoCaptureResources...."};
    traces.insert(traces.end(), c.traces.begin(), c.traces.end());
    EXPECT_EQ(traces, sim::DebugLines()) << c.why;
    EXPECT_EQ(0, sim::Held().loadedModules) << c.why;

    sim::InstallCaptureLibrary();
    sim::ReleaseHold(fourthTry);
    ASSERT_TRUE(WaitForCalls("ZUR_USBIO_API_GetGPIO"));
    traces.push_back(std::string("ZUR Joyvane: Capture library: ") + libraryPath);
    traces.push_back("ZUR Joyvane: Capture library usable after error " +
                     c.traces.back().substr(std::strlen("ZUR Joyvane: ")) + ": " + libraryPath);
    EXPECT_EQ(traces, sim::DebugLines()) << c.why;
    EXPECT_TRUE(sim::SendControl(SERVICE_CONTROL_STOP)) << c.why;
    Finish();
    EXPECT_EQ("2/1/3000 2/2/1000 4/0/0 3/1/3000 1/0/0", sim::StatusSequence()) << c.why;
    for (const sim::StatusReport& report : sim::StatusReports()) {
        EXPECT_EQ(0u, report.status.dwWin32ExitCode) << c.why;
    }
}

INSTANTIATE_TEST_SUITE_P(Starts, WaitingStartTest, ::testing::ValuesIn(waitingStarts),
                         NamedBy<&WaitingStart::why>());

// A stop while the service waits for its library ends the wait's pause at once.
TEST_F(ServiceLifecycleTest, AStopWhileWaitingForTheLibraryIsPromptAndClean) {
    sim::Reset();
    ResetProductState();
    sim::StartedByServiceManager(true);
    sim::UseRealTime(realPerVirtual);
    Start({"4", "1", "0", "30", "250"});
    ASSERT_TRUE(sim::WaitForServiceState(SERVICE_RUNNING, waitMs));
    ASSERT_TRUE(WaitForCalls("LoadLibraryExA", 2));
    EXPECT_TRUE(sim::SendControl(SERVICE_CONTROL_STOP));
    Finish();
    EXPECT_EQ("2/1/3000 2/2/1000 4/0/0 3/1/3000 1/0/0", sim::StatusSequence());
    std::vector<sim::StatusReport> reports = sim::StatusReports();
    uint32_t stopTime = reports.back().time - reports[reports.size() - 2].time;
    EXPECT_LE(stopTime, 100u);
    EXPECT_EQ(0u, reports.back().status.dwWin32ExitCode);
    EXPECT_TRUE(sim::CallsNamed("ZUR_USBIO_API_Init").empty());
    std::fprintf(stderr, "stop time waiting for the library: %u virtual ms\n", stopTime);
}

} // namespace
