// The service as the service control manager sees it, on real threads: the
// dispatcher, ServiceMain, the worker and the timer run side by side, with the
// clock in (scaled) real time.
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "bridge/poll_worker.h"
#include "service/service_lifecycle.h"
#include "tests/product_fixture.h"

namespace {

constexpr double realPerVirtual = 0.1;
constexpr uint32_t waitMs = 10000;

class ServiceLifecycleTest : public ProductTest {
  protected:
    void SetUp() override {
        ProductTest::SetUp();
        sim::InstallCaptureLibrary();
        sim::AddHidDevice(VirtualJoystick());
        sim::StartedByServiceManager(true);
        sim::UseRealTime(realPerVirtual);
    }

    void TearDown() override {
        if (process.joinable()) {
            // A test that failed half-way still has to let the service end.
            sim::SendControl(SERVICE_CONTROL_STOP);
            process.join();
        }
        ProductTest::TearDown();
    }

    // Starts the service process as the service manager would, with its five numbers.
    void Start(std::vector<std::string> numbers = {"4", "0", "0", "30", "250"}) {
        args = numbers;
        args.insert(args.begin(), "joyvane_service.exe");
        process = std::thread([this] {
            std::vector<char*> argv;
            for (std::string& arg : args) {
                argv.push_back(arg.data());
            }
            argv.push_back(nullptr);
            ServiceProcessMain(static_cast<int>(args.size()), argv.data());
        });
    }

    // Waits for the process to end, as the service manager sees it end.
    void Finish() {
        process.join();
        EXPECT_TRUE(sim::ServiceMainReturned());
        EXPECT_EQ(0, sim::RunningThreads());
        EXPECT_EQ(sim::Resources{}, sim::Held());
    }

    // Waits until the worker has polled at least once on an open connection.
    void WaitUntilConnected() {
        for (int i = 0; i < 2000 && sim::CallsNamed("ZUR_USBIO_API_GetGPIO").empty(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        ASSERT_FALSE(sim::CallsNamed("ZUR_USBIO_API_GetGPIO").empty());
    }

    // Virtual milliseconds from a control to the stopped report.
    uint32_t StopTime(DWORD control) {
        uint32_t sent = sim::Now();
        EXPECT_TRUE(sim::SendControl(control));
        std::vector<sim::StatusReport> reports = sim::StatusReports();
        return reports.empty() ? 0 : reports.back().time - sent;
    }

    std::vector<std::string> args;
    std::thread process;
};

struct StopControl {
    DWORD control;
    const char* name;
};

TEST_F(ServiceLifecycleTest, ReportsItsWayUpAndDownAndStopsTheWorker) {
    const StopControl controls[] = {{SERVICE_CONTROL_STOP, "stop"},
                                    {SERVICE_CONTROL_SHUTDOWN, "shutdown"}};
    for (const StopControl& c : controls) {
        SetUp();
        Start();
        ASSERT_TRUE(sim::WaitForServiceState(SERVICE_RUNNING, waitMs)) << c.name;
        WaitUntilConnected();
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
        EXPECT_EQ(std::vector<std::string>{"\"ZUR Service 1.02\" -> handle"},
                  CallArgs("RegisterServiceCtrlHandlerA"));
        EXPECT_EQ(std::vector<std::string>{"(nil) manual=1 initial=0 NULL -> event"},
                  CallArgs("CreateEventA"));
        TearDown();
    }
}

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
    size_t events;
};

// A refused report runs the stop sequence once: the worker stops, the event is
// signalled once, and stopped is reported (and never retried from within).
TEST_F(ServiceLifecycleTest, ARefusedReportRunsTheStopSequenceOnce) {
    const RefusedReport cases[] = {
        {1, false, "2/1/3000! 1/0/0", 0, 0},
        {2, false, "2/1/3000 2/2/1000! 1/0/0", 0, 1},
        {3, false, "2/1/3000 2/2/1000 4/0/0! 1/0/0", 1, 1},
        {4, true, "2/1/3000 2/2/1000 4/0/0 3/1/3000! 1/0/0 1/0/0", 1, 1},
        {5, true, "2/1/3000 2/2/1000 4/0/0 3/1/3000 1/0/0!", 1, 1},
    };
    for (const RefusedReport& c : cases) {
        SetUp();
        sim::FailStatusReport(c.nth);
        Start();
        if (c.stopControl) {
            ASSERT_TRUE(sim::WaitForServiceState(SERVICE_RUNNING, waitMs)) << c.nth;
            EXPECT_TRUE(sim::SendControl(SERVICE_CONTROL_STOP)) << c.nth;
        }
        Finish();
        EXPECT_EQ(c.sequence, sim::StatusSequence()) << c.nth;
        EXPECT_EQ(c.workers, sim::CallsNamed("CreateThread").size()) << c.nth;
        EXPECT_EQ(c.events, sim::CallsNamed("SetEvent").size()) << c.nth;
        TearDown();
    }
}

struct EarlyFailure {
    const char* why;
    void (*fail)();
    const char* sequence;
};

// Without a stop event or a worker the service could never be stopped; it reports
// stopped instead of staying "starting" for ever.
TEST_F(ServiceLifecycleTest, AnEarlyFailureEndsTheServiceWithoutHangingInStartPending) {
    const EarlyFailure cases[] = {
        {"no control handler", [] { sim::FailRegisterHandler(true); }, ""},
        {"no stop event", [] { sim::FailCreateEvent(true); }, "2/1/3000 1/0/0"},
        {"no worker thread", [] { sim::FailCreateThread(true); }, "2/1/3000 2/2/1000 1/0/0"},
    };
    for (const EarlyFailure& c : cases) {
        SetUp();
        c.fail();
        Start();
        Finish();
        EXPECT_EQ(c.sequence, sim::StatusSequence()) << c.why;
        EXPECT_EQ(0, runFlag.load()) << c.why;
        TearDown();
    }
}

TEST_F(ServiceLifecycleTest, AStopDuringTheReconnectPauseWaitsForTheWorkerToLeave) {
    sim::RemoveHidDevices();
    Start();
    ASSERT_TRUE(sim::WaitForServiceState(SERVICE_RUNNING, waitMs));
    // Let the worker fail its first open and enter its next one-second pause.
    for (int i = 0; i < 2000 && sim::CallsNamed("ZUR_USBIO_API_InitI2c").empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    uint32_t stopTime = StopTime(SERVICE_CONTROL_STOP);
    Finish();
    std::vector<sim::StatusReport> reports = sim::StatusReports();
    ASSERT_EQ(5u, reports.size());
    // Stop-pending goes out at once; stopped follows the worker's leaving by the
    // 50 ms grace.
    EXPECT_GE(reports[4].time, sim::CallsNamed("FreeLibrary").back().time + 50);
    EXPECT_LE(stopTime, 1000u + 50u + 300u);
    std::fprintf(stderr,
                 "stop time in the reconnect pause: %u virtual ms (stop-pending after %u)\n",
                 stopTime, reports[3].time - (reports[4].time - stopTime));
}

TEST_F(ServiceLifecycleTest, AStopWhileConnectedTakesAboutOnePollInterval) {
    Start({"4", "1", "0", "30", "250"});
    ASSERT_TRUE(sim::WaitForServiceState(SERVICE_RUNNING, waitMs));
    WaitUntilConnected();
    uint32_t stopTime = StopTime(SERVICE_CONTROL_STOP);
    Finish();
    EXPECT_LE(stopTime, 30u + 50u + 300u);
    std::fprintf(stderr, "stop time while connected (poll 30 ms): %u virtual ms\n", stopTime);
}

TEST_F(ServiceLifecycleTest, StartedFromAConsoleTheProcessEndsAtOnce) {
    sim::StartedByServiceManager(false);
    std::string numbers[] = {"joyvane_service.exe", "4", "1", "0", "30", "250"};
    char* argv[] = {numbers[0].data(),
                    numbers[1].data(),
                    numbers[2].data(),
                    numbers[3].data(),
                    numbers[4].data(),
                    numbers[5].data(),
                    nullptr};
    EXPECT_EQ(0, ServiceProcessMain(6, argv));
    EXPECT_EQ((std::vector<std::string>{"ZUR Joyvane: INIT - VideoCaptureResources....",
                                        "ZUR Joyvane: .... Error 4", "ZUR Joyvane: 17476"}),
              sim::DebugLines());
    EXPECT_TRUE(sim::CallsNamed("CreateThread").empty());
    EXPECT_TRUE(sim::StatusReports().empty());
}

TEST_F(ServiceLifecycleTest, AnIncompleteCommandLineStartsNoDispatcher) {
    std::string numbers[] = {"joyvane_service.exe", "4", "1", "0", "30"};
    char* argv[] = {numbers[0].data(), numbers[1].data(), numbers[2].data(),
                    numbers[3].data(), numbers[4].data(), nullptr};
    EXPECT_EQ(0, ServiceProcessMain(5, argv));
    EXPECT_EQ(1u, sim::CallsNamed("MessageBoxA").size());
    EXPECT_TRUE(sim::CallsNamed("StartServiceCtrlDispatcherA").empty());
}

} // namespace
