// The console runner on real threads: it shows what the service would only trace,
// and Ctrl+C stops it in order.
#include <functional>
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

    int Run(std::vector<std::string> args, bool pressCtrlC) {
        args.insert(args.begin(), "joyvane_console.exe");
        std::vector<char*> argv;
        for (std::string& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        int exitCode = -1;
        std::thread console(
            [&] { exitCode = ConsoleProcessMain(static_cast<int>(args.size()), argv.data()); });
        if (pressCtrlC) {
            for (int i = 0; i < 2000 && sim::CallsNamed("ZUR_USBIO_API_GetGPIO").empty(); ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
            EXPECT_TRUE(sim::PressConsoleControl(CTRL_C_EVENT));
        }
        console.join();
        return exitCode;
    }
};

TEST_F(ConsoleRunnerTest, RunsTheBridgeUntilCtrlCAndShowsItsLines) {
    sim::InstallCaptureLibrary();
    sim::AddHidDevice(VirtualJoystick());
    EXPECT_EQ(0, Run({"4", "1", "0", "30", "250"}, true));
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
    int exitCode = -1;
    std::thread console([&exitCode] {
        std::string args[] = {"joyvane_console.exe", "4", "0", "0", "30", "250"};
        char* argv[] = {args[0].data(), args[1].data(), args[2].data(), args[3].data(),
                        args[4].data(), args[5].data(), nullptr};
        exitCode = ConsoleProcessMain(6, argv);
    });
    for (int i = 0; i < 2000 && sim::Reports().size() < 2; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_EQ(8, ReportValue(sim::Reports().back())) << e.name;
    bool taken = e.end();
    // What the process would still do when Windows ends it.
    std::vector<sim::Report> reports = sim::Reports();
    std::string out = sim::TakeStdout();
    if (!taken) {
        sim::PressConsoleControl(CTRL_C_EVENT); // so that the runner ends all the same
    }
    console.join();
    EXPECT_TRUE(taken) << e.name;
    EXPECT_EQ(0, ReportValue(reports.back())) << e.name;
    EXPECT_NE(std::string::npos, out.find("Joyvane console: stopped.\n")) << e.name;
    EXPECT_EQ(0, exitCode) << e.name;
    EXPECT_EQ(sim::Resources{}, sim::Held()) << e.name;
}

// As Windows does for a process that loaded user32.dll: the console handler is
// not called at a logoff or a shutdown, so that it cannot be what stops the runner.
TEST_F(ConsoleRunnerTest, TheConsoleHandlerIsNotToldOfALogoffOrAShutdown) {
    sim::InstallCaptureLibrary();
    sim::AddHidDevice(VirtualJoystick());
    int exitCode = -1;
    std::thread console([&exitCode] {
        std::string args[] = {"joyvane_console.exe", "4", "0", "0", "30", "250"};
        char* argv[] = {args[0].data(), args[1].data(), args[2].data(), args[3].data(),
                        args[4].data(), args[5].data(), nullptr};
        exitCode = ConsoleProcessMain(6, argv);
    });
    for (int i = 0; i < 2000 && sim::CallsNamed("ZUR_USBIO_API_GetGPIO").empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_FALSE(sim::PressConsoleControl(CTRL_LOGOFF_EVENT));
    EXPECT_FALSE(sim::PressConsoleControl(CTRL_SHUTDOWN_EVENT));
    EXPECT_TRUE(sim::PressConsoleControl(CTRL_C_EVENT));
    console.join();
    EXPECT_EQ(0, exitCode);
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
    int exitCode = -1;
    std::thread console([&exitCode] {
        std::string args[] = {"joyvane_console.exe", "2", "0", "1", "30", "250"};
        char* argv[] = {args[0].data(), args[1].data(), args[2].data(), args[3].data(),
                        args[4].data(), args[5].data(), nullptr};
        exitCode = ConsoleProcessMain(6, argv);
    });
    for (int i = 0; i < 4000 && sim::CallsNamed("ZUR_USBIO_API_GetGPIO").empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_TRUE(sim::PressConsoleControl(CTRL_C_EVENT));
    console.join();
    EXPECT_EQ(0, exitCode);
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
    EXPECT_EQ(0, Run({"-3", "0", "1", "30", "250"}, true));
    EXPECT_NE(std::string::npos, sim::TakeStdout().find("Joyvane console: button 1, mode 0"));
}

TEST_F(ConsoleRunnerTest, AnIncompleteCommandLineGetsTheUsageNotAMessageBox) {
    EXPECT_EQ(2, Run({"4", "1", "0", "30"}, false));
    EXPECT_TRUE(sim::CallsNamed("MessageBoxA").empty());
    EXPECT_TRUE(sim::CallsNamed("CreateThread").empty());
}

} // namespace
