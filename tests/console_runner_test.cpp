// The console runner on real threads: it shows what the service would only trace,
// and Ctrl+C stops it in order.
#include <algorithm>
#include <cstdlib>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "service/console_runner.h"
#include "usbio/usbio_api.h"
#include "tests/product_fixture.h"

namespace {

class ConsoleRunnerTest : public ProductTest {
  protected:
    void SetUp() override {
        ProductTest::SetUp();
        sim::UseRealTime(0.05);
    }

    void TearDown() override {
        if (console.joinable()) {
            sim::PressConsoleControl(CTRL_C_EVENT);
            console.join();
        }
        ProductTest::TearDown();
    }

    // Starts the console program on a thread of its own with these numbers.
    void Start(std::vector<std::string> numbers) {
        numbers.insert(numbers.begin(), "joyvane_console.exe");
        console = std::thread([this, numbers] { exitCode = RunMain(ConsoleProcessMain, numbers); });
    }

    // Waits for the program to end; its exit code.
    int Join() {
        console.join();
        return exitCode;
    }

    // Starts the program, presses Ctrl+C once it polls, and waits for it to end.
    int RunUntilCtrlC(std::vector<std::string> numbers) {
        Start(numbers);
        EXPECT_TRUE(WaitForCalls("ZUR_USBIO_API_GetGPIO"));
        EXPECT_TRUE(sim::PressConsoleControl(CTRL_C_EVENT));
        return Join();
    }

    std::thread console;
    int exitCode = -1;
};

TEST_F(ConsoleRunnerTest, RunsTheBridgeUntilCtrlCAndShowsItsLines) {
    sim::InstallCaptureLibrary();
    sim::AddHidDevice(VirtualJoystick());
    EXPECT_EQ(0, RunUntilCtrlC({"4", "1", "0", "30", "250"}));
    std::string out = sim::TakeStdout();
    EXPECT_EQ(0u, out.find("ZUR Joyvane: INIT - VideoCaptureResources....\n"
                           "Joyvane console: button 4, mode 1 (pulse), normal values, poll every "
                           "30 ms, clicks of 250 ms. Ctrl+C stops.\n"))
        << out;
    EXPECT_NE(std::string::npos, out.find(" Destroy_ZUR_GP: OK \nJoyvane console: stopped.\n"))
        << out;
    EXPECT_EQ(0, ReportValue(sim::Reports().back()));
    EXPECT_EQ(sim::Resources{}, sim::Held());
    EXPECT_TRUE(sim::CallsNamed("MessageBoxA").empty());
}

struct LiveCase {
    const char* why;
    std::vector<std::string> numbers;
    std::vector<std::pair<uint32_t, int32_t>> buttonTimeline;
    uint32_t stopAt; // virtual ms
    std::vector<std::string> lines;
    std::function<void()> arrange = nullptr;
};
PRINTED_BY_TEST_NAME(LiveCase)

const char* const allUp = "+t s report 00 00 00 00 00 all up";
const char* const idle45 = "+t s report 00 00 00 80 01 buttons 4 5 down";

// Each button change and each report, one line each, in the order they happened:
// the idle report at the open, the press, its reports, the release, and the
// idle report when the runner lets go of the joystick.
const LiveCase liveCases[] = {
    {"a click",
     {"4", "1", "0", "30", "250"},
     {{1500, gpioButtonDown}, {1800, gpioButtonUp}},
     2500,
     {allUp, "+t s press", "+t s report 00 00 00 80 00 button 4 down", allUp, "+t s release", allUp,
      allUp}},
    {"button 7 followed",
     {"7", "0", "0", "30", "250"},
     {{1500, gpioButtonDown}, {1800, gpioButtonUp}},
     2500,
     {allUp, "+t s press", "+t s report 00 00 00 00 04 button 7 down", "+t s release", allUp,
      allUp}},
    // Inverted, buttons 4 and 5 are down at rest; the long click lifts button 5.
    {"a long press, inverted",
     {"4", "2", "1", "30", "250"},
     {{1500, gpioButtonDown}, {2700, gpioButtonUp}},
     3000,
     {idle45, "+t s press", "+t s report 00 00 00 80 00 button 4 down", idle45, "+t s release",
      idle45}},
    {"a state neither up nor down",
     {"4", "0", "0", "30", "250"},
     {{1500, 7}},
     2200,
     {allUp, "+t s state 7, neither up nor down: ignored", allUp}},
    // The joystick's driver refuses the idle report of the open, and the one
    // that lets go of it: the connection is closed and opened again a second later.
    {"a refused report",
     {"4", "1", "0", "30", "250"},
     {},
     2500,
     {std::string(allUp) + ": refused", std::string(allUp) + ": refused",
      std::string(allUp) + ": refused", std::string(allUp) + ": refused"},
     [] { sim::AddFault({.call = "HidD_SetFeature"}); }},
};

class LiveLineTest : public ConsoleRunnerTest, public ::testing::WithParamInterface<LiveCase> {};

TEST_P(LiveLineTest, EachButtonChangeAndEachReportIsOneTimedLine) {
    const LiveCase& c = GetParam();
    sim::InstallCaptureLibrary();
    sim::AddHidDevice(VirtualJoystick());
    sim::SetButtonTimeline(c.buttonTimeline);
    if (c.arrange) {
        c.arrange();
    }
    Start(c.numbers);
    while (sim::Now() < c.stopAt) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_TRUE(sim::PressConsoleControl(CTRL_C_EVENT));
    EXPECT_EQ(0, Join()) << c.why;
    std::string out = sim::TakeStdout();
    std::vector<std::string> live;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with("+")) {
            live.push_back(line);
        }
    }
    std::vector<std::string> timeless;
    for (const std::string& line : live) {
        timeless.push_back(WithoutTimes(line));
    }
    EXPECT_EQ(c.lines, timeless) << out;
    // The first change is seen at the first poll after it, on the runner's clock,
    // which starts a little after the machine's (the thread's start, in real time).
    if (c.buttonTimeline.empty()) {
        return;
    }
    ASSERT_LE(2u, live.size()) << out;
    double seconds = std::strtod(live[1].c_str() + 1, nullptr);
    EXPECT_LE(c.buttonTimeline[0].first / 1000.0 - 0.1, seconds) << live[1];
    EXPECT_GE(c.buttonTimeline[0].first / 1000.0 + 0.2, seconds) << live[1];
    if (c.buttonTimeline.size() > 1) {
        // The release line comes as long after the press line as the button was held.
        auto release = std::find(timeless.begin(), timeless.end(), "+t s release");
        ASSERT_NE(timeless.end(), release) << out;
        double held = std::strtod(live[release - timeless.begin()].c_str() + 1, nullptr) - seconds;
        double wanted = (c.buttonTimeline[1].first - c.buttonTimeline[0].first) / 1000.0;
        EXPECT_NEAR(wanted, held, 0.1) << out;
    }
    EXPECT_NE(std::string::npos, out.find(" Destroy_ZUR_GP: OK \nJoyvane console: stopped.\n"));
}

INSTANTIATE_TEST_SUITE_P(Runs, LiveLineTest, ::testing::ValuesIn(liveCases),
                         NamedBy<&LiveCase::why>());

struct EndingEvent {
    const char* name;
    std::function<bool()> end; // true when the program was told
};
PRINTED_BY_TEST_NAME(EndingEvent)

// Windows ends a console process as soon as the handler of a closed window returns,
// and at a logoff or a shutdown once its windows have answered WM_ENDSESSION (the
// console handler is not called for those: the process loaded user32.dll). By then
// the worker must have stopped and the joystick been let go, with the button held
// (follow mode) until then.
const EndingEvent endingEvents[] = {
    {"close", [] { return sim::PressConsoleControl(CTRL_CLOSE_EVENT); }},
    {"logoff", [] { return sim::EndSession(true) == 1; }},
    {"shutdown", [] { return sim::EndSession(false) == 1; }},
};

class EndingEventTest : public ConsoleRunnerTest,
                        public ::testing::WithParamInterface<EndingEvent> {};

TEST_P(EndingEventTest, LetsGoOfTheJoystickBeforeTheProcessIsEnded) {
    const EndingEvent& e = GetParam();
    sim::InstallCaptureLibrary();
    sim::AddHidDevice(VirtualJoystick());
    sim::SetButtonTimeline({{0, gpioButtonDown}});
    Start({"4", "0", "0", "30", "250"});
    WaitUntil([] { return sim::Reports().size() >= 2; }, 2000);
    ASSERT_EQ(8, ReportValue(sim::Reports().back())) << e.name;
    bool taken = e.end();
    // What the process would still do when Windows ends it.
    std::vector<sim::Report> reports = sim::Reports();
    std::string out = sim::TakeStdout();
    if (!taken) {
        sim::PressConsoleControl(CTRL_C_EVENT); // so that the runner ends all the same
    }
    EXPECT_EQ(0, Join()) << e.name;
    EXPECT_TRUE(taken) << e.name;
    EXPECT_EQ(0, ReportValue(reports.back())) << e.name;
    EXPECT_NE(std::string::npos, out.find("Joyvane console: stopped.\n")) << e.name;
    EXPECT_EQ(sim::Resources{}, sim::Held()) << e.name;
}

// As Windows does for a process that loaded user32.dll: the console handler is
// not called at a logoff or a shutdown, so that it cannot be what stops the runner.
TEST_F(ConsoleRunnerTest, TheConsoleHandlerIsNotToldOfALogoffOrAShutdown) {
    sim::InstallCaptureLibrary();
    sim::AddHidDevice(VirtualJoystick());
    Start({"4", "0", "0", "30", "250"});
    EXPECT_TRUE(WaitForCalls("ZUR_USBIO_API_GetGPIO"));
    EXPECT_FALSE(sim::PressConsoleControl(CTRL_LOGOFF_EVENT));
    EXPECT_FALSE(sim::PressConsoleControl(CTRL_SHUTDOWN_EVENT));
    EXPECT_TRUE(sim::PressConsoleControl(CTRL_C_EVENT));
    EXPECT_EQ(0, Join());
    // The hidden window was made, a top-level one (no parent), and gone at the end.
    std::vector<sim::Call> windows = sim::CallsNamed("CreateWindowExA");
    ASSERT_EQ(1u, windows.size());
    EXPECT_EQ((std::vector<sim::Pointer>{sim::Pointer::null}), windows[0].values.pointers);
    EXPECT_EQ(0, sim::EndSession(true));
}

INSTANTIATE_TEST_SUITE_P(Events, EndingEventTest, ::testing::ValuesIn(endingEvents),
                         NamedBy<&EndingEvent::name>());

// Without the library the console shows that it waits, tries again each second,
// takes the library once it is copied in, and runs until Ctrl+C.
TEST_F(ConsoleRunnerTest, WithoutTheLibraryItSaysItWaitsAndRunsUntilCtrlC) {
    sim::AddHidDevice(VirtualJoystick());
    sim::At(2500, [] { sim::InstallCaptureLibrary(); });
    EXPECT_EQ(0, RunUntilCtrlC({"2", "0", "1", "30", "250"}));
    std::string out = sim::TakeStdout();
    const char waiting[] = "ZUR Joyvane: Capture library not found, waiting for it: "
                           "C:\\Joyvane\\ZUR_USBIO_KAD.dll\nZUR Joyvane: 126\n";
    EXPECT_NE(std::string::npos, out.find(waiting)) << out;
    EXPECT_EQ(out.find("waiting for it"), out.rfind("waiting for it")) << "traced once: " << out;
    EXPECT_NE(std::string::npos,
              out.find("ZUR Joyvane: Capture library: C:\\Joyvane\\ZUR_USBIO_KAD.dll\n"
                       "ZUR Joyvane: Capture library usable after error 126: "
                       "C:\\Joyvane\\ZUR_USBIO_KAD.dll\n"))
        << out;
    EXPECT_NE(std::string::npos, out.find("Joyvane console: stopped.\n")) << out;
    std::vector<sim::Call> loads = sim::CallsNamed("LoadLibraryExA");
    ASSERT_LE(2u, loads.size());
    EXPECT_EQ(1, loads.back().values.result);
    EXPECT_EQ(1, sim::ModuleLoads("ZUR_USBIO_KAD.dll"));
    EXPECT_EQ(sim::Resources{}, sim::Held());
}

TEST_F(ConsoleRunnerTest, ANegativeFirstNumberIsAButtonNotAnOption) {
    sim::InstallCaptureLibrary();
    sim::AddHidDevice(VirtualJoystick());
    EXPECT_EQ(0, RunUntilCtrlC({"-3", "0", "1", "30", "250"}));
    EXPECT_NE(std::string::npos, sim::TakeStdout().find("Joyvane console: button 1, mode 0"));
}

TEST_F(ConsoleRunnerTest, AnIncompleteCommandLineGetsTheUsageNotAMessageBox) {
    EXPECT_EQ(2, RunMain(ConsoleProcessMain, {"joyvane_console.exe", "4", "1", "0", "30"}));
    EXPECT_TRUE(sim::CallsNamed("MessageBoxA").empty());
    EXPECT_TRUE(sim::CallsNamed("CreateThread").empty());
}

} // namespace
