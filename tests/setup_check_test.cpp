// The console runner's setup check on the simulated machine: one line per link,
// and for each link that fails, the line that says so and what to do.
#include <functional>
#include <string>
#include <vector>

#include "service/console_runner.h"
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
    std::vector<std::string> numbers;
    std::function<void()> arrange;
    int exitCode;
    std::string output; // after the heading line
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
        numbers.insert(numbers.begin(), {"joyvane_console.exe", "--check"});
        std::vector<char*> argv;
        for (std::string& arg : numbers) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        return ConsoleProcessMain(static_cast<int>(numbers.size()), argv.data());
    }
};

const std::string settings =
    "settings: button 4, mode 1, normal values, poll every 30 ms, clicks of 250 ms: ok\n";
const std::string allWork = "Every link works.\n";
const std::string someFail = "Some links do not work.\n";

const CheckCase checkCases[] = {
    {"everything works",
     {"4", "1", "0", "30", "250"},
     nullptr,
     0,
     settings + libraryLine + entryPointLines + deviceLines + joystickLine + allWork},
    {"mode 3",
     {"4", "3", "0", "30", "250"},
     nullptr,
     1,
     "settings: button 4, mode 3, normal values, poll every 30 ms, clicks of 250 ms: FAILED: "
     "the service refuses a mode other than 0, 1 or 2\n" +
         std::string(libraryLine) + entryPointLines + deviceLines + joystickLine + someFail},
    {"no capture library",
     {"4", "1", "0", "30", "250"},
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
     {"4", "1", "0", "30", "250"},
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
     {"4", "1", "0", "30", "250"},
     [] { sim::AddFault({.call = "ZUR_USBIO_API_Open", .firstCall = 1, .calls = 1, .result = 5}); },
     1,
     settings + libraryLine + entryPointLines +
         "capture device: Init 1, Open(0) 5, InitI2c -1: FAILED: is the capture device "
         "plugged in, and its own driver installed?\n" +
         joystickLine + someFail},
    {"the button read fails",
     {"4", "1", "0", "30", "250"},
     [] {
         sim::AddFault({.call = "ZUR_USBIO_API_GetGPIO", .firstCall = 1, .calls = 1, .result = 7});
     },
     1,
     settings + libraryLine + entryPointLines +
         "capture device: Init 1, Open(0) 0, InitI2c 0: ok\n"
         "button: read 7, state 0 (no state): FAILED: the capture device does not answer its "
         "button read\n" +
         joystickLine + someFail},
    {"no virtual joystick",
     {"4", "1", "0", "30", "250"},
     [] { sim::RemoveHidDevices(); },
     1,
     settings + libraryLine + entryPointLines + deviceLines +
         "virtual joystick: no present device HID\\ZurVirtualHidDevice, error 259: FAILED: "
         "install the virtual joystick and its driver\n" +
         someFail},
    {"a joystick that is not a joystick",
     {"4", "1", "0", "30", "250"},
     [] {
         sim::HidDevice device = VirtualJoystick();
         device.interfaces[0].usage = 5;
         sim::UpdateHidDevice(0, device);
     },
     1,
     settings + libraryLine + entryPointLines + deviceLines +
         "virtual joystick: found, but not opened as a joystick for writing: FAILED: its "
         "collection must be usage page 1, usage 4, with a 5-byte feature report, and the "
         "account needs write access\n" +
         someFail},
    {"a joystick whose feature report is not 5 bytes",
     {"4", "1", "0", "30", "250"},
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
     {"4", "1", "0", "30", "250"},
     [] { sim::AddFault({.call = "HidD_SetFeature", .from = sim::Now()}); },
     1,
     settings + libraryLine + entryPointLines + deviceLines +
         "virtual joystick: \\\\?\\hid#zur#1, usage page 1, usage 4, 5-byte feature report, "
         "open for writing, idle report refused: FAILED: the joystick's driver refuses the 5-byte "
         "feature report\n"
         " Destroy_ZUR_GP: OK \n" +
         someFail},
};
class SetupCheckCaseTest : public SetupCheckTest,
                           public ::testing::WithParamInterface<CheckCase> {};

TEST_P(SetupCheckCaseTest, SaysForEachLinkWhetherItWorksAndWhatToDo) {
    const CheckCase& c = GetParam();
    if (c.arrange) {
        c.arrange();
    }
    EXPECT_EQ(c.exitCode, Check(c.numbers)) << c.why;
    EXPECT_EQ("Joyvane setup check\n" + c.output, sim::TakeStdout()) << c.why;
    EXPECT_EQ(sim::Resources{}, sim::Held()) << c.why;
    EXPECT_TRUE(sim::CallsNamed("MessageBoxA").empty()) << c.why;
}

INSTANTIATE_TEST_SUITE_P(Links, SetupCheckCaseTest, ::testing::ValuesIn(checkCases),
                         NamedBy<&CheckCase::why>());

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
