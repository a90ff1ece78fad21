// The console runner's setup check on the simulated machine: one line per link,
// and for each link that fails, the line that says so and what to do.
#include <cstdlib>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "service/console_runner.h"
#include "usbio/usbio_api.h"
#include "tests/product_fixture.h"

namespace {

constexpr const char* libraryLine = "capture library: C:\\Joyvane\\ZUR_USBIO_KAD.dll: ok\n";
constexpr const char* entryPointLines = "entry point ZUR_USBIO_API_Init: present: ok\n"
                                        "entry point ZUR_USBIO_API_Open: present: ok\n"
                                        "entry point ZUR_USBIO_API_InitI2c: present: ok\n"
                                        "entry point ZUR_USBIO_API_GetGPIO: present: ok\n"
                                        "entry point ZUR_USBIO_API_Close: present: ok\n"
                                        "entry point ZUR_USBIO_API_Destroy: present: ok\n";
constexpr const char* deviceLines = "capture device: Init 1, Open(0) 0, InitI2c 0: ok\n"
                                    "button: read 0, state 3 (up): ok\n";
constexpr const char* joystickLine = "virtual joystick: \\\\?\\hid#zur#1, usage page 1, usage 4, "
                                     "5-byte feature report, open for writing, idle report "
                                     "taken: ok\n"
                                     " Destroy_ZUR_GP: OK \n";

struct CheckCase {
    const char* why;
    std::function<void()> arrange;
    int exitCode;
    std::string output; // after the heading line
    std::vector<std::string> numbers = {"4", "1", "0", "30", "250"};
};
PRINTED_BY_TEST_NAME(CheckCase)

class SetupCheckTest : public ProductTest {
  protected:
    void SetUp() override {
        ProductTest::SetUp();
        // The check waits for its links in real time, five (virtual) seconds at most.
        sim::UseRealTime(0.05);
        sim::InstallCaptureLibrary();
        sim::AddHidDevice(VirtualJoystick());
    }

    int Check(std::vector<std::string> numbers) {
        numbers.insert(numbers.begin(), "--check");
        return RunConsole(numbers);
    }
};

const std::string settings =
    "settings: button 4, mode 1, normal values, poll every 30 ms, clicks of 250 ms: ok\n";
const std::string allWork = "Every link works.\n";
const std::string someFail = "Some links do not work.\n";

const CheckCase checkCases[] = {
    {"everything works", nullptr, 0,
     settings + libraryLine + entryPointLines + deviceLines + joystickLine + allWork},
    {"mode 3",
     nullptr,
     1,
     "settings: button 4, mode 3, normal values, poll every 30 ms, clicks of 250 ms: FAILED: "
     "the service refuses a mode other than 0, 1 or 2\n" +
         std::string(libraryLine) + entryPointLines + deviceLines + joystickLine + someFail,
     {"4", "3", "0", "30", "250"}},
    {"no capture library",
     [] {
         sim::Reset();
         sim::UseRealTime(0.05);
         sim::AddHidDevice(VirtualJoystick());
     },
     1,
     settings +
         "capture library: ZUR_USBIO_KAD.dll, error 126: FAILED: not found: put the 32-bit "
         "ZUR_USBIO_KAD.dll beside joyvane_service.exe\n" +
         joystickLine + someFail},
    {"a 64-bit capture library",
     [] {
         sim::Reset();
         sim::UseRealTime(0.05);
         sim::RegisterModule("ZUR_USBIO_KAD.dll", {}, ERROR_BAD_EXE_FORMAT);
         sim::AddHidDevice(VirtualJoystick());
     },
     1,
     settings +
         "capture library: ZUR_USBIO_KAD.dll, error 193: FAILED: a 64-bit library: this "
         "service needs the 32-bit one\n" +
         joystickLine + someFail},
    {"the capture device unplugged",
     [] { sim::AddFault({.call = "ZUR_USBIO_API_Open", .firstCall = 1, .calls = 1, .result = 5}); },
     1,
     settings + libraryLine + entryPointLines +
         "capture device: Init 1, Open(0) 5, InitI2c -1: FAILED: is the capture device "
         "plugged in, and its own driver installed?\n" +
         joystickLine + someFail},
    {"the button read fails",
     [] {
         sim::AddFault({.call = "ZUR_USBIO_API_GetGPIO", .firstCall = 1, .calls = 1, .result = 7});
     },
     1,
     settings + libraryLine + entryPointLines +
         "capture device: Init 1, Open(0) 0, InitI2c 0: ok\n"
         "button: read 7, state 0 (no state): FAILED: the capture device does not answer its "
         "button read\n" +
         joystickLine + someFail},
    {"no virtual joystick", [] { sim::RemoveHidDevices(); }, 1,
     settings + libraryLine + entryPointLines + deviceLines +
         "virtual joystick: no present device HID\\ZurVirtualHidDevice, error 259: FAILED: "
         "install the virtual joystick and its driver\n" +
         someFail},
    {"a joystick that is not a joystick", [] { sim::UpdateHidDevice(0, NotAJoystick()); }, 1,
     settings + libraryLine + entryPointLines + deviceLines +
         "virtual joystick: found, but not opened as a joystick for writing: FAILED: its "
         "collection must be usage page 1, usage 4, with a 5-byte feature report, and the "
         "account needs write access\n" +
         someFail},
    {"a joystick whose feature report is not 5 bytes",
     [] {
         sim::HidDevice device = VirtualJoystick();
         device.interfaces[0].featureLength = 9;
         sim::UpdateHidDevice(0, device);
     },
     1,
     settings + libraryLine + entryPointLines + deviceLines +
         "Error: feature report of 9 bytes, not 5 \n"
         "virtual joystick: found, but not opened as a joystick for writing: FAILED: its "
         "collection must be usage page 1, usage 4, with a 5-byte feature report, and the "
         "account needs write access\n" +
         someFail},
    {"a joystick that refuses reports",
     [] { sim::AddFault({.call = "HidD_SetFeature", .from = sim::Now()}); }, 1,
     settings + libraryLine + entryPointLines + deviceLines +
         "virtual joystick: \\\\?\\hid#zur#1, usage page 1, usage 4, 5-byte feature report, "
         "open for writing, idle report refused: FAILED: the joystick's driver refuses the 5-byte "
         "feature report\n"
         " Destroy_ZUR_GP: OK \n" +
         someFail},
};
// A service that may hold the devices is left alone: nothing opens the capture
// device, nothing writes to the joystick, which is opened with no access rights.
const std::string serviceHolds =
    " it holds the capture device and the joystick, so the steps that open them are skipped\n";
const std::string deviceSkipped = "capture device: not opened: the service has it: skipped\n";
const std::string joystickRead = "virtual joystick: \\\\?\\hid#zur#1, usage page 1, usage 4, "
                                 "not opened for writing: the service has it: ok\n";
const std::string leftToService =
    "Every link checked works; the capture device was left to the service.\n";

const CheckCase runningCases[] = {
    {"running", [] { sim::InstallService({.state = SERVICE_RUNNING, .processId = 1234}); }, 0,
     "service \"ZUR Service 1.02\": RUNNING, process 1234:" + serviceHolds + settings +
         libraryLine + entryPointLines + deviceSkipped + joystickRead + leftToService},
    {"starting", [] { sim::InstallService({.state = SERVICE_START_PENDING, .processId = 1234}); },
     0,
     "service \"ZUR Service 1.02\": START_PENDING, process 1234:" + serviceHolds + settings +
         libraryLine + entryPointLines + deviceSkipped + joystickRead + leftToService},
    {"running, with a press asked for",
     [] { sim::InstallService({.state = SERVICE_RUNNING, .processId = 1234}); },
     0,
     "service \"ZUR Service 1.02\": RUNNING, process 1234:" + serviceHolds + settings +
         libraryLine + entryPointLines + deviceSkipped +
         "press: not tried: only the service can read the button while it runs; stop it to "
         "try a press here: skipped\n" +
         joystickRead + leftToService,
     {"--press", "4", "1", "0", "30", "250"}},
    {"running, with a joystick that is not one",
     [] {
         sim::InstallService({.state = SERVICE_RUNNING, .processId = 1234});
         sim::UpdateHidDevice(0, NotAJoystick());
     },
     1,
     "service \"ZUR Service 1.02\": RUNNING, process 1234:" + serviceHolds + settings +
         libraryLine + entryPointLines + deviceSkipped +
         "virtual joystick: found, but no collection of usage page 1, usage 4: FAILED: install "
         "the virtual joystick's own driver\n" +
         someFail},
    {"stopped", [] { sim::InstallService({.state = SERVICE_STOPPED}); }, 0,
     settings + libraryLine + entryPointLines + deviceLines + joystickLine + allWork},
    {"a service manager that cannot be asked", [] { sim::AddFault({.call = "OpenSCManagerA"}); }, 0,
     "service: the service manager cannot be asked, error 5: checked as if the service were "
     "stopped\n" +
         settings + libraryLine + entryPointLines + deviceLines + joystickLine + allWork},
};

class SetupCheckCaseTest : public SetupCheckTest,
                           public ::testing::WithParamInterface<CheckCase> {};

// And where the service holds the devices, nothing of the check touches them.
TEST_P(SetupCheckCaseTest, SaysForEachLinkWhetherItWorksAndWhatToDo) {
    const CheckCase& c = GetParam();
    if (c.arrange) {
        c.arrange();
    }
    EXPECT_EQ(c.exitCode, Check(c.numbers)) << c.why;
    EXPECT_EQ("Joyvane setup check\n" + c.output, sim::TakeStdout()) << c.why;
    EXPECT_EQ(sim::Resources{}, sim::Held()) << c.why;
    EXPECT_TRUE(sim::CallsNamed("MessageBoxA").empty()) << c.why;
    if (!c.output.starts_with("service \"")) {
        return;
    }
    EXPECT_EQ(0, sim::CallCount("HidD_SetFeature")) << c.why;
    for (const char* call : {"ZUR_USBIO_API_Init", "ZUR_USBIO_API_Open", "ZUR_USBIO_API_GetGPIO",
                             "ZUR_USBIO_API_Close", "ZUR_USBIO_API_Destroy"}) {
        EXPECT_EQ(0, sim::CallCount(call)) << c.why << ": " << call;
    }
    std::vector<sim::Call> opens = sim::CallsNamed("CreateFileA");
    EXPECT_FALSE(opens.empty()) << c.why;
    for (const sim::Call& open : opens) {
        EXPECT_EQ(0, open.values.numbers[0]) << c.why << ": access of " << open.args;
    }
}

INSTANTIATE_TEST_SUITE_P(Links, SetupCheckCaseTest, ::testing::ValuesIn(checkCases),
                         NamedBy<&CheckCase::why>());
INSTANTIATE_TEST_SUITE_P(Services, SetupCheckCaseTest, ::testing::ValuesIn(runningCases),
                         NamedBy<&CheckCase::why>());

struct PressCase {
    const char* why;
    int exitCode;
    std::string pressLine; // its times as "N s"
    double heldSeconds;
    std::vector<std::string> numbers = {"4", "1", "0", "30", "250"};
    std::vector<std::pair<uint32_t, int32_t>> buttonTimeline = {{1000, gpioButtonDown},
                                                                {1300, gpioButtonUp}};
};
PRINTED_BY_TEST_NAME(PressCase)

const PressCase pressCases[] = {
    {"follow",
     0,
     "press: down after N s, held N s; the service sends 00 00 00 80 00 button 4 down at the "
     "press and 00 00 00 00 00 all up at the release: ok\n",
     0.3,
     {"4", "0", "0", "30", "250"}},
    {"pulse", 0,
     "press: down after N s, held N s; the service sends 00 00 00 80 00 button 4 down at the "
     "press and 00 00 00 00 00 all up 250 ms later: ok\n",
     0.3},
    // Inverted, a cleared bit is a pressed button: button 4's.
    {"long press mode, short, inverted",
     0,
     "press: down after N s, held N s; held under 800 ms: the service sends 00 00 00 00 01 "
     "button 5 down at the release and 00 00 00 80 01 buttons 4 5 down 100 ms later: ok\n",
     0.3,
     {"4", "2", "1", "30", "100"}},
    {"long press mode, long",
     0,
     "press: down after N s, held N s; held 800 ms or more: the service sends 00 00 00 00 01 "
     "button 5 down 800 ms into the press and 00 00 00 00 00 all up 250 ms later: ok\n",
     1.0,
     {"4", "2", "0", "30", "250"},
     {{1000, gpioButtonDown}, {2000, gpioButtonUp}}},
    {"no press",
     1,
     "press: no press within 10 s: FAILED: press the button while the check waits for it\n",
     0,
     {"4", "1", "0", "30", "250"},
     {}},
    {"no release",
     1,
     "press: no release within 10 s: FAILED: press the button while the check waits for it\n",
     0,
     {"4", "1", "0", "30", "250"},
     {{1000, gpioButtonDown}}},
};

class PressTest : public SetupCheckTest, public ::testing::WithParamInterface<PressCase> {};

TEST_P(PressTest, WaitsForOnePressAndSaysWhatTheServiceSends) {
    const PressCase& c = GetParam();
    sim::SetButtonTimeline(c.buttonTimeline);
    std::vector<std::string> numbers = c.numbers;
    numbers.insert(numbers.begin(), "--press");
    EXPECT_EQ(c.exitCode, Check(numbers)) << c.why;
    std::string out = sim::TakeStdout();
    const std::string wait = "press: press and release the capture device's button within 10 s\n";
    size_t waitAt = out.find(wait);
    ASSERT_NE(std::string::npos, waitAt) << out;
    EXPECT_EQ(0u, out.find("Joyvane setup check\n" + settings.substr(0, 16))) << out;
    size_t lineAt = waitAt + wait.size();
    std::string line = out.substr(lineAt, out.find('\n', lineAt) + 1 - lineAt);
    EXPECT_EQ(c.pressLine, std::regex_replace(line, std::regex("[0-9]+\\.[0-9]{3} s"), "N s"))
        << out;
    // Only the press, between the button's read and the close.
    EXPECT_EQ(std::string::npos, out.find("capture device:", lineAt)) << out;
    if (c.heldSeconds > 0) {
        double held = std::strtod(line.c_str() + line.find("held ") + 5, nullptr);
        EXPECT_NEAR(c.heldSeconds, held, 0.1) << line;
    }
    EXPECT_EQ(sim::Resources{}, sim::Held()) << c.why;
}

INSTANTIATE_TEST_SUITE_P(Modes, PressTest, ::testing::ValuesIn(pressCases),
                         NamedBy<&PressCase::why>());

TEST_F(SetupCheckTest, ALibraryThatDoesNotReturnEndsTheCheckWithinFiveSeconds) {
    int stuck = sim::HoldAt("ZUR_USBIO_API_Init");
    EXPECT_EQ(1, Check({"4", "1", "0", "30", "250"}));
    EXPECT_TRUE(sim::Held(stuck));
    std::string out = sim::TakeStdout();
    EXPECT_NE(std::string::npos, out.find("check: no answer within 5 seconds: FAILED: the capture "
                                          "library or a driver does not return\n"))
        << out;
}

TEST_F(SetupCheckTest, WithoutItsFiveNumbersItShowsTheUsage) {
    EXPECT_EQ(2, Check({"4", "1", "0", "30"}));
    EXPECT_EQ("", sim::TakeStdout());
    EXPECT_TRUE(sim::CallsNamed("CreateThread").empty());
}

} // namespace
