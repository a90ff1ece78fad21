// The console runner on real threads: it shows what the service would only trace,
// and Ctrl+C stops it in order.
#include <string>
#include <thread>
#include <vector>

#include "service/console_runner.h"
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

// The runner takes a worker that is no longer alive for one that gave up (no
// library). One that has not run its first instruction yet is alive already.
TEST_F(ConsoleRunnerTest, AWorkerThatHasNotStartedYetIsNotTakenForOneThatGaveUp) {
    sim::InstallCaptureLibrary();
    sim::AddHidDevice(VirtualJoystick());
    int starting = sim::HoldAt("LocalFree");
    std::thread release([starting] {
        EXPECT_TRUE(sim::WaitUntilHeld(starting, 5000));
        // Several of the runner's 250 ms checks (12.5 real ms each) go by meanwhile.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        sim::ReleaseHold(starting);
    });
    EXPECT_EQ(0, Run({"4", "1", "0", "30", "250"}, true));
    release.join();
    EXPECT_NE(std::string::npos, sim::TakeStdout().find("Joyvane console: stopped.\n"));
}

TEST_F(ConsoleRunnerTest, WithoutTheLibraryItSaysSoAndEnds) {
    EXPECT_EQ(1, Run({"2", "0", "1", "30", "250"}, false));
    std::string out = sim::TakeStdout();
    EXPECT_NE(std::string::npos, out.find("ZUR Joyvane: 126\nJoyvane console: the capture-device "
                                          "library could not be loaded"))
        << out;
    EXPECT_EQ(sim::Resources{}, sim::Held());
}

TEST_F(ConsoleRunnerTest, AnIncompleteCommandLineGetsTheUsageNotAMessageBox) {
    EXPECT_EQ(2, Run({"4", "1", "0", "30"}, false));
    EXPECT_TRUE(sim::CallsNamed("MessageBoxA").empty());
    EXPECT_TRUE(sim::CallsNamed("CreateThread").empty());
}

} // namespace
