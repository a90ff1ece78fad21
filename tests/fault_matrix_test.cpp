// Every fault the machine can throw at the worker, one at a time, for a stretch
// of time: the worker rides it out, holds at most one joystick connection and one
// device list meanwhile, and works again once the fault is gone. And every
// platform call the product makes, failed once where it matters: what the
// product then does, exactly.
#include <atomic>
#include <functional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "bridge/button_masks.h"
#include "bridge/poll_worker.h"
#include "service/service_config.h"
#include "service/service_lifecycle.h"
#include "tests/product_fixture.h"

int JoyvaneConsoleMain(int argc, char** argv);

namespace {

constexpr uint32_t faultFrom = 1500;
constexpr uint32_t faultUntil = 4500;
constexpr uint32_t pressAt = 7000;
constexpr uint32_t releaseAt = 7300;
constexpr uint32_t stopAt = 8000;

sim::HidDevice Unopenable() {
    sim::HidDevice device = VirtualJoystick();
    device.interfaces[0].openError = 5; // ERROR_ACCESS_DENIED
    return device;
}

struct Fault {
    const char* name;
    std::function<void()> begin;
    std::function<void()> end;
};
PRINTED_BY_TEST_NAME(Fault)

void Window(sim::CaptureCall call) {
    sim::AddFault({.call = world::CaptureExport(call), .from = faultFrom, .until = faultUntil});
}

const Fault faults[] = {
    {"Init fails", [] { Window(sim::CaptureCall::Init); }, nullptr},
    {"Open fails", [] { Window(sim::CaptureCall::Open); }, nullptr},
    {"InitI2c fails", [] { Window(sim::CaptureCall::InitI2c); }, nullptr},
    {"GetGPIO fails mid-run", [] { Window(sim::CaptureCall::GetGpio); }, nullptr},
    {"GetGPIO fails on every first poll",
     [] {
         Window(sim::CaptureCall::GetGpio);
         Window(sim::CaptureCall::Close);
     },
     nullptr},
    {"Close refused", [] { Window(sim::CaptureCall::Close); },
     [] { sim::AddFault({.call = "ZUR_USBIO_API_GetGPIO", .firstCall = 1, .calls = 1}); }},
    {"joystick absent", [] { sim::UpdateHidDevice(0, sim::HidDevice{}); },
     [] { sim::UpdateHidDevice(0, VirtualJoystick()); }},
    // Reports to a vanished joystick fail and are otherwise ignored: the worker
    // opens the joystick again only with the next capture connection.
    {"joystick unplugged, then the capture device lost", [] { sim::RemoveHidDevices(); },
     [] {
         sim::AddHidDevice(VirtualJoystick());
         sim::AddFault({.call = "ZUR_USBIO_API_GetGPIO", .firstCall = 1, .calls = 1});
     }},
    {"present but not a joystick", [] { sim::UpdateHidDevice(0, NotAJoystick()); },
     [] { sim::UpdateHidDevice(0, VirtualJoystick()); }},
    {"CreateFile fails", [] { sim::UpdateHidDevice(0, Unopenable()); },
     [] { sim::UpdateHidDevice(0, VirtualJoystick()); }},
    {"reports refused", [] { sim::AddFault({.call = "HidD_SetFeature", .from = sim::Now()}); },
     [] { sim::MendFault("HidD_SetFeature"); }},
    {"no memory for the next joystick open",
     [] {
         sim::AddFault({.call = "LocalAlloc", .firstCall = 1});
         sim::AddFault({.call = "ZUR_USBIO_API_GetGPIO", .firstCall = 1, .calls = 1});
     },
     nullptr},
};

class FaultMatrixTest : public ProductTest {};

using FaultWindowTest = ProductTestWithParam<Fault>;

TEST_P(FaultWindowTest, TheWorkerRidesItOutAndWorksAgainAfterIt) {
    const Fault& fault = GetParam();
    sim::InstallCaptureLibrary();
    sim::AddHidDevice(VirtualJoystick());
    sim::SetButtonTimeline(
        {{0, gpioButtonUp}, {pressAt, gpioButtonDown}, {releaseAt, gpioButtonUp}});
    sim::At(faultFrom, fault.begin);
    if (fault.end) {
        sim::At(faultUntil, fault.end);
    } else {
        // Scripted windows end by themselves; this only marks the time.
        sim::At(faultUntil, [] {});
    }
    sim::At(stopAt, [] { runFlag.store(0); });
    EXPECT_EQ(0u, RunPollWorker({4, 0, 0, 30, 250}));

    // The press after the fault reaches the joystick, down and up.
    std::vector<int> after;
    for (const sim::Report& report : sim::Reports()) {
        if (report.time >= pressAt && report.time < stopAt && report.accepted) {
            after.push_back(ReportValue(report));
        }
    }
    EXPECT_EQ((std::vector<int>{8, 0}), after);

    sim::Resources peak = sim::PeakHeld();
    EXPECT_LE(peak.deviceHandles, 1);
    EXPECT_LE(peak.deviceSets, 1);
    EXPECT_LE(peak.localBlocks, 3); // path, property buffer, detail
    EXPECT_LE(peak.loadedModules, 1);
    EXPECT_EQ(sim::Resources{}, sim::Held());
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultWindowTest, ::testing::ValuesIn(faults),
                         NamedBy<&Fault::name>());

TEST_F(FaultMatrixTest, ALibraryWithoutAnEntryPointIsUnloadedAfterEachTryAndHoldsNothing) {
    sim::RegisterModule("ZUR_USBIO_KAD.dll", {{"ZUR_USBIO_API_Init", nullptr}});
    sim::At(3500, [] { runFlag.store(0); });
    EXPECT_EQ(0u, RunPollWorker({4, 0, 0, 30, 250}));
    EXPECT_EQ(sim::Resources{}, sim::Held());
    EXPECT_EQ(1, sim::PeakHeld().loadedModules);
    // Tried at 0, 1000, 2000 and 3000, each copy let go at once; the pause that
    // the stop came in (kept whole without a stop event) ends the wait.
    EXPECT_EQ(4, sim::ModuleLoads("ZUR_USBIO_KAD.dll"));
    EXPECT_EQ(4, sim::ModuleFrees("ZUR_USBIO_KAD.dll"));
    EXPECT_EQ(4000u, sim::Now());
    EXPECT_TRUE(sim::CallsNamed("ZUR_USBIO_API_Init").empty());
}

// Ten thousand times the capture device is lost right after it was opened; the
// worker must come back every time and leave nothing behind.
TEST_F(FaultMatrixTest, TenThousandReconnectsLeakNothing) {
    constexpr int cycles = 10000;
    sim::InstallCaptureLibrary();
    sim::AddHidDevice(VirtualJoystick());
    sim::SetCallLogging(false);
    // Every connection polls twice, then its third poll fails.
    sim::OnCaptureCall([](sim::CaptureCall call, int number) {
        if (call == sim::CaptureCall::GetGpio && number % 3 == 2) {
            sim::AddFault({.call = "ZUR_USBIO_API_GetGPIO", .firstCall = 1, .calls = 1});
        }
        if (call == sim::CaptureCall::Init && number == cycles + 1) {
            sim::SetButtonTimeline({{0, gpioButtonDown}});
        }
        if (call == sim::CaptureCall::GetGpio && number == 3 * cycles + 2) {
            runFlag.store(0);
        }
    });
    EXPECT_EQ(0u, RunPollWorker({4, 1, 0, 30, 100}));

    std::vector<sim::Report> reports = sim::Reports();
    // Each connection: the idle report on open and on close; then the last one's
    // idle report, the press click and its idle report, and the idle report on leaving.
    ASSERT_EQ(2u * cycles + 4, reports.size());
    for (int i = 0; i < 2 * cycles + 1; ++i) {
        ASSERT_EQ(0, ReportValue(reports[i])) << i;
    }
    EXPECT_EQ(8, ReportValue(reports[2 * cycles + 1]));
    EXPECT_EQ(0, ReportValue(reports[2 * cycles + 2]));
    EXPECT_EQ(0, ReportValue(reports[2 * cycles + 3]));
    EXPECT_EQ(sim::Resources{}, sim::Held());
    EXPECT_EQ(1, sim::ModuleLoads("ZUR_USBIO_KAD.dll"));
    EXPECT_EQ(1, sim::ModuleFrees("ZUR_USBIO_KAD.dll"));
    std::fprintf(stderr, "%d reconnects in %u virtual seconds\n", cycles, sim::Now() / 1000);
}

// Which program meets the failing call.
enum class Program {
    Worker,     // the poll worker on the virtual clock, stopped at 4010
    Service,    // the service as the service manager starts and stops it
    Console,    // the console program, stopped with Ctrl+C
    SetupCheck, // the console program's --check
};

// What a run shows. Reports are "time:value" on the virtual clock for the
// worker, values only for the programs that run in real time.
struct Outcome {
    int result = 0; // the worker's return value, or the program's exit code
    std::string reports;
    std::vector<std::string> traces;
    std::string printed;
    std::string status; // the status reports, and the stopped report's exit code
    sim::Resources held;
    size_t timersFired = 0;
    bool ctrlCTakenAfterwards = false; // a Ctrl+C after the program ended still had a taker
    bool operator==(const Outcome&) const = default;
};

void PrintTo(const Outcome& o, std::ostream* out) {
    *out << "{result " << o.result << ", reports \"" << o.reports << "\", traces {";
    for (const std::string& trace : o.traces) {
        *out << '"' << trace << "\" ";
    }
    *out << "}, printed \"" << o.printed << "\", status \"" << o.status << "\", held {"
         << o.held.deviceHandles << ' ' << o.held.deviceSets << ' ' << o.held.localBlocks << ' '
         << o.held.preparsedData << ' ' << o.held.loadedModules << ' ' << o.held.events << ' '
         << o.held.threads << ' ' << o.held.waitableTimers << ' ' << o.held.timerPeriods
         << "}, timers fired " << o.timersFired << ", Ctrl+C taken afterwards "
         << o.ctrlCTakenAfterwards << "}";
}

struct PlatformFault {
    const char* name;
    world::Fault fault;
    Outcome outcome;
    Program program = Program::Worker;
    int32_t mode = 0;          // the worker's mode
    uint32_t releaseAt = 3500; // the button is down from 2500 until then (worker only)
};
PRINTED_BY_TEST_NAME(PlatformFault)

const char* const libraryTrace = "ZUR Joyvane: Capture library: C:\\Joyvane\\ZUR_USBIO_KAD.dll";
const char* const initTrace = "ZUR Joyvane: INIT - VideoCaptureResources....";
const char* const destroyed = " Destroy_ZUR_GP: OK \n";
// The console runner's line for a report with every button up.
const char* const idleReport = "+t s report 00 00 00 00 00 all up\n";
// The press from 2500 to 3500 as the worker sends it, and the idle report of the stop.
const char* const steady = "1000:0 2500:8 3520:0 4010:0";
// The same when the first joystick open failed: the next connection, a second later.
const char* const reopened = "2000:0 2510:8 3500:0 4010:0";
const std::vector<std::string> openFailed = {libraryTrace, "ZUR Joyvane: Error:Init_ZUR_GP"};
// The console program's lines from its start to Ctrl+C, the worker polling twice.
const std::string consoleRun = std::string(initTrace) +
                               "\nJoyvane console: button 4, mode 0 (follow), normal values, "
                               "poll every 30 ms, clicks of 250 ms. Ctrl+C stops.\n" +
                               libraryTrace + "\n" + idleReport + idleReport + destroyed +
                               "Joyvane console: stopped.\n";

// Each row fails one call once (or every call), and says what follows: first
// the calls the worker makes, on the virtual clock.
const PlatformFault workerFaults[] = {
    {"CloseHandle refused for the joystick",
     {.call = "CloseHandle", .firstCall = 1},
     // The handle stays open; the product forgets it all the same.
     {.reports = steady,
      .traces = {libraryTrace},
      .printed = " failed CloseHandle \n",
      .held = {.deviceHandles = 1}}},
    {"LocalAlloc fails for the joystick path",
     {.call = "LocalAlloc", .firstCall = 1},
     {.reports = reopened, .traces = openFailed, .printed = destroyed}},
    {"CreateFileA denied",
     {.call = "CreateFileA", .firstCall = 1, .error = 5},
     {.reports = reopened,
      .traces = openFailed,
      .printed = std::string("Error: CreateFile failed: 5\n") + destroyed}},
    {"CreateFileA with the documented error",
     {.call = "CreateFileA", .firstCall = 1},
     {.reports = reopened,
      .traces = openFailed,
      .printed = std::string("Error: CreateFile failed: 2\n") + destroyed}},
    // The stop's wake-up is lost: the poll pause from 4000 runs to its end.
    {"SetEvent refused for the stop",
     {.call = "SetEvent", .firstCall = 1},
     {.reports = "1000:0 2500:8 3520:0 4030:0", .traces = {libraryTrace}, .printed = destroyed}},
    // A wait that fails in the first pause does not shorten it: the device is
    // opened at 1000 all the same, and the polls keep their pace.
    {"WaitForMultipleObjects fails in the first pause",
     {.call = "WaitForMultipleObjects", .firstCall = 1},
     {.reports = steady, .traces = {libraryTrace}, .printed = destroyed}},
    // Every wait on the timer fails: the stop event's own timeout keeps each
    // pause, and the stop still ends one at once.
    {"WaitForMultipleObjects fails always",
     {.call = "WaitForMultipleObjects"},
     {.reports = steady, .traces = {libraryTrace}, .printed = destroyed}},
    // The timer cannot be set: the stop event's timeout measures every pause, and
    // the stop still ends one at once.
    {"SetWaitableTimer fails always",
     {.call = "SetWaitableTimer"},
     {.reports = "1000:0 2500:8 2750:0 3500:0 4010:0",
      .traces = {libraryTrace},
      .printed = destroyed},
     Program::Worker,
     1},
    // No timer for another reason than an old Windows: the worker raises the
    // timer resolution while connected, and lowers it when it leaves.
    {"CreateWaitableTimerExW fails",
     {.call = "CreateWaitableTimerExW", .firstCall = 1},
     {.reports = steady,
      .traces = {"ZUR Joyvane: High-resolution timer not created, raising the timer resolution "
                 "while connected",
                 "ZUR Joyvane: 8", libraryTrace},
      .printed = destroyed}},
    // Without the long-press timer a long press is a short click at its release.
    {"timeSetEvent refused",
     {.call = "timeSetEvent", .firstCall = 1},
     {.reports = "1000:0 3520:8 3770:0 4010:0", .traces = {libraryTrace}, .printed = destroyed},
     Program::Worker,
     2},
    // The timer of a short press stays set and fires; its callback sees that it
    // is not the armed one and sends nothing.
    {"timeKillEvent refused at a short release",
     {.call = "timeKillEvent", .firstCall = 1},
     {.reports = "1000:0 2800:8 3050:0 4010:0",
      .traces = {libraryTrace},
      .printed = destroyed,
      .timersFired = 1},
     Program::Worker,
     2,
     2800},
    {"LoadLibraryExA fails",
     {.call = "LoadLibraryExA", .firstCall = 1},
     // The file is there: what the loader did not find is a DLL it needs. The
     // next try, a second later, loads it and opens the device at once.
     {.reports = steady,
      .traces = {"ZUR Joyvane: Capture library found but a DLL it needs is not, waiting: "
                 "C:\\Joyvane\\ZUR_USBIO_KAD.dll",
                 "ZUR Joyvane: 126", libraryTrace,
                 "ZUR Joyvane: Capture library usable after error 126: "
                 "C:\\Joyvane\\ZUR_USBIO_KAD.dll"},
      .printed = destroyed}},
    {"GetProcAddress fails for Init",
     {.call = "GetProcAddress", .firstCall = 1},
     {.reports = steady,
      .traces = {"ZUR Joyvane: Capture library lacks ZUR_USBIO_API_Init, waiting for another: "
                 "C:\\Joyvane\\ZUR_USBIO_KAD.dll",
                 "ZUR Joyvane: 127", libraryTrace,
                 "ZUR Joyvane: Capture library usable after error 127: "
                 "C:\\Joyvane\\ZUR_USBIO_KAD.dll"},
      .printed = destroyed}},
    // The module stays loaded; the product does not try again.
    {"FreeLibrary refused",
     {.call = "FreeLibrary", .firstCall = 1},
     {.reports = steady,
      .traces = {libraryTrace},
      .printed = destroyed,
      .held = {.loadedModules = 1}}},
    {"GetModuleFileNameA fails",
     {.call = "GetModuleFileNameA", .firstCall = 1},
     {.reports = steady, .traces = {"ZUR Joyvane: Capture library: "}, .printed = destroyed}},
};

// The same for the calls that only the programs make, on real threads.
const PlatformFault programFaults[] = {
    {"RegisterServiceCtrlHandlerA refused",
     {.call = "RegisterServiceCtrlHandlerA"},
     {.traces = {initTrace}},
     Program::Service},
    {"StartServiceCtrlDispatcherA cannot connect",
     {.call = "StartServiceCtrlDispatcherA"},
     {.traces = {initTrace, "ZUR Joyvane: .... Error 4", "ZUR Joyvane: 17476"}},
     Program::Service},
    {"SetServiceStatus refuses running",
     {.call = "SetServiceStatus", .firstCall = 3},
     // The stop comes before the worker's first open: no joystick to let go.
     {.traces = {initTrace, libraryTrace},
      .printed = " failed CloseHandle \n",
      .status = "2/1/3000 2/2/1000 4/0/0! 1/0/0 exit 0"},
     Program::Service},
    {"CreateEventA fails for the service's stop event",
     {.call = "CreateEventA", .firstCall = 1},
     {.traces = {initTrace}, .status = "2/1/3000 1/0/0 exit 8"},
     Program::Service},
    {"CreateEventA fails for the worker's stop event",
     {.call = "CreateEventA", .firstCall = 2},
     {.traces = {initTrace}, .status = "2/1/3000 2/2/1000 1/0/0 exit 8"},
     Program::Service},
    {"CreateThread fails for the worker",
     {.call = "CreateThread", .firstCall = 1},
     {.traces = {initTrace}, .status = "2/1/3000 2/2/1000 1/0/0 exit 8"},
     Program::Service},
    {"CreateThread fails for the setup check",
     {.call = "CreateThread", .firstCall = 1},
     {.result = 1,
      .traces = {initTrace},
      .printed = "Joyvane setup check\ncheck: no thread to run it on: FAILED\n"},
     Program::SetupCheck},
    // The program goes on; the library is still looked for narrowly.
    {"SetDefaultDllDirectories refused",
     {.call = "SetDefaultDllDirectories"},
     {.reports = "0 0", .traces = {initTrace, libraryTrace}, .printed = consoleRun},
     Program::Console},
    // The handler stays installed after the program ended; it takes a Ctrl+C
    // and returns at once.
    {"SetConsoleCtrlHandler refuses the removal",
     {.call = "SetConsoleCtrlHandler", .firstCall = 2},
     {.reports = "0 0",
      .traces = {initTrace, libraryTrace},
      .printed = consoleRun,
      .ctrlCTakenAfterwards = true},
     Program::Console},
};

class PlatformFaultTest : public ProductTestWithParam<PlatformFault> {
  protected:
    Outcome RunWorker(const PlatformFault& row) {
        sim::SetButtonTimeline(
            {{0, gpioButtonUp}, {2500, gpioButtonDown}, {row.releaseAt, gpioButtonUp}});
        Outcome outcome;
        outcome.result = static_cast<int>(
            RunPollWorker({4, row.mode, 0, 30, 250}, 4010, [&] { sim::AddFault(row.fault); }));
        outcome.reports = ReportTimeline();
        return outcome;
    }

    // Starts the program on a thread of its own, stops it once it polls (or it
    // ends by itself), and waits for it to end.
    Outcome RunProgram(const PlatformFault& row) {
        sim::StartedByServiceManager(row.program == Program::Service);
        sim::UseRealTime(row.program == Program::Service ? 0.1 : 0.05);
        sim::AddFault(row.fault);
        std::vector<std::string> args = {"joyvane.exe", "4", "0", "0", "30", "250"};
        if (row.program == Program::SetupCheck) {
            args.insert(args.begin() + 1, "--check");
        }
        std::atomic<bool> ended{false};
        int exitCode = -1;
        std::thread program([&] {
            exitCode = RunMain(
                row.program == Program::Service ? ServiceProcessMain : JoyvaneConsoleMain, args);
            ended.store(true);
        });
        WaitUntil([&] { return ended.load() || !sim::CallsNamed("ZUR_USBIO_API_GetGPIO").empty(); },
                  4000);
        if (!ended.load()) {
            if (row.program == Program::Service) {
                sim::SendControl(SERVICE_CONTROL_STOP);
            } else {
                sim::PressConsoleControl(CTRL_C_EVENT);
            }
        }
        program.join();
        Outcome outcome;
        outcome.result = row.program == Program::Service ? 0 : exitCode;
        for (const sim::Report& report : sim::Reports()) {
            outcome.reports += (outcome.reports.empty() ? "" : " ") +
                               std::to_string(ReportValue(report)) + (report.accepted ? "" : "!");
        }
        std::vector<sim::StatusReport> reports = sim::StatusReports();
        if (!reports.empty()) {
            outcome.status = sim::StatusSequence() + " exit " +
                             std::to_string(reports.back().status.dwWin32ExitCode);
        }
        return outcome;
    }
};

TEST_P(PlatformFaultTest, TheProductDoesWhatTheFailureCallsFor) {
    const PlatformFault& row = GetParam();
    sim::InstallCaptureLibrary();
    sim::AddHidDevice(VirtualJoystick());
    Outcome outcome = row.program == Program::Worker ? RunWorker(row) : RunProgram(row);
    // The call was made, and failed.
    EXPECT_LE(1, sim::CallCount(row.fault.call));
    outcome.traces = OwnTraceLines();
    outcome.printed = WithoutTimes(sim::TakeStdout());
    if (row.program == Program::Worker) {
        // A service has no standard output: each line printed is in the trace too.
        EXPECT_EQ(outcome.printed, DeviceLinesInTrace());
    }
    outcome.held = sim::Held();
    outcome.timersFired = sim::CallsNamed("(timer fires)").size();
    outcome.ctrlCTakenAfterwards = sim::PressConsoleControl(CTRL_C_EVENT);
    EXPECT_EQ(row.outcome, outcome);
    EXPECT_EQ(0, workerAlive.load());
    EXPECT_EQ(0, sim::RunningThreads());
}

INSTANTIATE_TEST_SUITE_P(WorkerCalls, PlatformFaultTest, ::testing::ValuesIn(workerFaults),
                         NamedBy<&PlatformFault::name>());
INSTANTIATE_TEST_SUITE_P(ProgramCalls, PlatformFaultTest, ::testing::ValuesIn(programFaults),
                         NamedBy<&PlatformFault::name>());

} // namespace
