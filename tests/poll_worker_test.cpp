// The real poll worker on the test's own thread, on the virtual clock, against a
// scripted capture device and virtual joystick.
#include <algorithm>
#include <string>
#include <vector>

#include "bridge/button_masks.h"
#include "bridge/poll_worker.h"
#include "joystick/virtual_joystick.h"
#include "service/service_config.h"
#include "tests/product_fixture.h"

namespace {

constexpr int32_t down = gpioButtonDown;
constexpr int32_t up = gpioButtonUp;

class PollWorkerTest : public ProductTest {
  protected:
    void SetUp() override {
        ProductTest::SetUp();
        sim::InstallCaptureLibrary();
    }

    // Runs the worker until the virtual time stopAt, when the stop request comes.
    DWORD Run(int32_t button, int32_t mode, int32_t inverted, int32_t pollMs, int32_t pulseMs,
              uint32_t stopAt) {
        return RunPollWorker({button, mode, inverted, pollMs, pulseMs}, stopAt);
    }

    // "time name" for each call into the capture library (without its prefix).
    std::vector<std::string> LibraryCalls() {
        std::vector<std::string> calls;
        for (const sim::Call& call : sim::Calls()) {
            if (call.name.rfind("ZUR_USBIO_API_", 0) == 0) {
                calls.push_back(std::to_string(call.time) + " " + call.name.substr(14));
            }
        }
        return calls;
    }
};

template <typename Case>
class PollWorkerCases : public PollWorkerTest, public ::testing::WithParamInterface<Case> {};

// The library as it changes under a waiting worker: from each time on, the copy
// that lies in a folder (none, a 64-bit one, one without GetGPIO, the good one).
enum class Copy { good, bits64, noGetGpio, goodInSystem32 };

struct LibraryWait {
    const char* why;
    std::vector<std::pair<uint32_t, Copy>> copies; // from time, the copy there
    uint32_t stopAt;
    std::vector<std::string> loads; // "time result" of each LoadLibraryExA
    std::vector<std::string> trace;
    bool windows64 = false;
};
PRINTED_BY_TEST_NAME(LibraryWait)

const char notFound[] =
    "ZUR Joyvane: Capture library not found, waiting for it: C:\\Joyvane\\ZUR_USBIO_KAD.dll";
const char not32Bit[] = "ZUR Joyvane: Capture library is no 32-bit DLL, waiting for another: "
                        "C:\\Joyvane\\ZUR_USBIO_KAD.dll";
const char lacksGetGpio[] = "ZUR Joyvane: Capture library lacks ZUR_USBIO_API_GetGPIO, waiting "
                            "for another: C:\\Joyvane\\ZUR_USBIO_KAD.dll";
const char loadedHere[] = "ZUR Joyvane: Capture library: C:\\Joyvane\\ZUR_USBIO_KAD.dll";

std::string UsableAfter(int error, const char* path = "C:\\Joyvane\\ZUR_USBIO_KAD.dll") {
    return "ZUR Joyvane: Capture library usable after error " + std::to_string(error) + ": " + path;
}

// A library that cannot serve is tried again after each reconnect pause, until
// one can; the first failure of each kind and the load that ends the wait are
// traced, and the device is opened and polled at once.
const LibraryWait libraryWaits[] = {
    {"missing, then copied in",
     {{2500, Copy::good}},
     3100,
     {"0 0", "1000 0", "2000 0", "3000 1"},
     {notFound, "ZUR Joyvane: 126", loadedHere, UsableAfter(126)}},
    {"a 64-bit build, then the 32-bit one",
     {{0, Copy::bits64}, {1500, Copy::good}},
     2100,
     {"0 0", "1000 0", "2000 1"},
     {not32Bit, "ZUR Joyvane: 193", loadedHere, UsableAfter(193)}},
    {"one without GetGPIO, then a whole one",
     {{0, Copy::noGetGpio}, {1500, Copy::good}},
     2100,
     {"0 1", "1000 1", "2000 1"},
     {lacksGetGpio, "ZUR Joyvane: 127", loadedHere, UsableAfter(127)}},
    {"each kind of failure traced once",
     {{0, Copy::bits64},
      {1500, Copy::noGetGpio},
      {2500, Copy::bits64},
      {3500, Copy::noGetGpio},
      {4500, Copy::good}},
     5040,
     {"0 0", "1000 0", "2000 1", "3000 0", "4000 1", "5000 1"},
     {not32Bit, "ZUR Joyvane: 193", lacksGetGpio, "ZUR Joyvane: 127", loadedHere,
      UsableAfter(127)}},
    {"copied into SysWOW64 on 64-bit Windows",
     {{1500, Copy::goodInSystem32}},
     2100,
     {"0 0", "1000 0", "2000 1"},
     {notFound, "ZUR Joyvane: 126",
      "ZUR Joyvane: Capture library: C:\\Windows\\SysWOW64\\ZUR_USBIO_KAD.dll",
      UsableAfter(126, "C:\\Windows\\SysWOW64\\ZUR_USBIO_KAD.dll")},
     true},
    {"stopped while waiting",
     {},
     2500,
     {"0 0", "1000 0", "2000 0"},
     {notFound, "ZUR Joyvane: 126"}},
};

using LibraryWaitTest = PollWorkerCases<LibraryWait>;

TEST_P(LibraryWaitTest, TheWorkerWaitsForAUsableLibrary) {
    const LibraryWait& c = GetParam();
    sim::Reset();
    ResetProductState();
    sim::AddHidDevice(VirtualJoystick());
    sim::SetWindows64(c.windows64);
    for (const auto& [from, copy] : c.copies) {
        auto place = [copy] {
            switch (copy) {
            case Copy::good:
                sim::InstallCaptureLibrary();
                break;
            case Copy::bits64:
                sim::RegisterModule("ZUR_USBIO_KAD.dll", {}, ERROR_BAD_EXE_FORMAT);
                break;
            case Copy::noGetGpio:
                sim::InstallCaptureLibrary(sim::DllFolder::Application, "ZUR_USBIO_API_GetGPIO");
                break;
            case Copy::goodInSystem32:
                sim::InstallCaptureLibrary(sim::DllFolder::System32);
                break;
            }
        };
        if (from == 0) {
            place();
        } else {
            sim::At(from, place);
        }
    }
    EXPECT_EQ(0u, Run(4, 0, 0, 30, 250, c.stopAt)) << c.why;
    // A stop while waiting ends the pause at once.
    EXPECT_EQ(c.stopAt, sim::Now()) << c.why;
    std::vector<std::string> loads;
    for (const sim::Call& call : sim::CallsNamed("LoadLibraryExA")) {
        loads.push_back(std::to_string(call.time) + " " + std::to_string(*call.values.result));
    }
    EXPECT_EQ(c.loads, loads) << c.why;
    EXPECT_EQ(c.trace, OwnTraceLines()) << c.why;
    // The device opened and polled at the load that ended the wait; without one,
    // nothing called.
    std::vector<std::string> connected;
    std::vector<std::string> calls = LibraryCalls();
    if (!loads.empty() && loads.back().ends_with(" 1")) {
        const uint32_t at = sim::CallsNamed("LoadLibraryExA").back().time;
        for (const char* call : {"Init", "Open", "InitI2c", "GetGPIO"}) {
            connected.push_back(std::to_string(at) + " " + call);
        }
        connected.push_back(std::to_string(at + 30) + " GetGPIO");
        calls.resize(std::min(calls.size(), connected.size()));
    }
    EXPECT_EQ(connected, calls) << c.why;
    // Each copy that loaded and was found wanting was unloaded at once.
    EXPECT_EQ(sim::Resources{}, sim::Held()) << c.why;
    EXPECT_GE(1, sim::PeakHeld().loadedModules) << c.why;
}

INSTANTIATE_TEST_SUITE_P(Libraries, LibraryWaitTest, ::testing::ValuesIn(libraryWaits),
                         NamedBy<&LibraryWait::why>());

TEST_F(PollWorkerTest, WithoutTheJoystickTheDeviceIsOpenedEverySecondAndNothingIsSent) {
    // The stop at 3500 comes during a pause, which ends there: no open attempt.
    EXPECT_EQ(0u, Run(4, 1, 0, 30, 250, 3500));
    EXPECT_EQ((std::vector<std::string>{"1000 Init", "1000 Open", "1000 InitI2c", "2000 Init",
                                        "2000 Open", "2000 InitI2c", "3000 Init", "3000 Open",
                                        "3000 InitI2c", "3500 Close", "3500 Destroy"}),
              LibraryCalls());
    EXPECT_EQ((std::vector<std::string>{
                  "ZUR Joyvane: Capture library: C:\\Joyvane\\ZUR_USBIO_KAD.dll",
                  "ZUR Joyvane: Error:Init_ZUR_GP", "ZUR Joyvane: Error:Init_ZUR_GP",
                  "ZUR Joyvane: Error:Init_ZUR_GP",
                  // The device line, its text as printed, spaces and all.
                  "ZUR Joyvane: device:  failed CloseHandle "}),
              sim::DebugLines());
    EXPECT_TRUE(sim::Reports().empty());
    // Leaving without a joystick still closes the library's device and unloads it.
    EXPECT_EQ(" failed CloseHandle \n", sim::TakeStdout());
    EXPECT_EQ(sim::Resources{}, sim::Held());
}

TEST_F(PollWorkerTest, OpenFailuresAreRetriedEverySecondFromTheStart) {
    sim::AddHidDevice(VirtualJoystick());
    sim::AddFault({.call = "ZUR_USBIO_API_Init", .firstCall = 1, .calls = 1});
    sim::AddFault({.call = "ZUR_USBIO_API_Open", .firstCall = 1, .calls = 1});
    sim::AddFault({.call = "ZUR_USBIO_API_InitI2c", .firstCall = 1, .calls = 1});
    Run(4, 0, 0, 30, 250, 4040);
    EXPECT_EQ(
        (std::vector<std::string>{"1000 Init", "2000 Init", "2000 Open", "3000 Init", "3000 Open",
                                  "3000 InitI2c", "4000 Init", "4000 Open", "4000 InitI2c",
                                  "4000 GetGPIO", "4030 GetGPIO", "4040 Close", "4040 Destroy"}),
        LibraryCalls());
    EXPECT_EQ("4000:0 4040:0", ReportTimeline());
}

// Follow mode, button 4: the idle report comes first, then the press and release
// as the polls every 30 ms see them, and the idle report again on the way out.
TEST_F(PollWorkerTest, SendsTheIdleReportFirstThenFollowsTheButton) {
    sim::AddHidDevice(VirtualJoystick());
    sim::SetButtonTimeline({{0, up}, {1500, down}, {2000, up}});
    Run(4, 0, 0, 30, 250, 2500);
    EXPECT_EQ("1000:0 1510:8 2020:0 2500:0", ReportTimeline());
    EXPECT_EQ(" Destroy_ZUR_GP: OK \n", sim::TakeStdout());
    EXPECT_EQ(sim::Resources{}, sim::Held());
}

TEST_F(PollWorkerTest, InvertedValuesStartWithTheButtonBitSet) {
    sim::AddHidDevice(VirtualJoystick());
    sim::SetButtonTimeline({{0, up}, {1100, down}, {1200, up}});
    Run(2, 1, 1, 50, 100, 1400);
    EXPECT_EQ("1000:2 1100:0 1200:2 1250:2 1400:2", ReportTimeline());
}

TEST_F(PollWorkerTest, APollFailureClosesAndReopensAboutASecondLaterKeepingTheLatch) {
    sim::AddHidDevice(VirtualJoystick());
    sim::SetButtonTimeline({{0, up}, {1400, down}});
    sim::AddFault({.call = "ZUR_USBIO_API_GetGPIO", .from = 1505, .until = 1515});
    Run(4, 0, 0, 30, 250, 2600);
    std::vector<std::string> calls = LibraryCalls();
    auto close = std::find(calls.begin(), calls.end(), "1510 Close");
    ASSERT_NE(calls.end(), close);
    EXPECT_EQ(
        (std::vector<std::string>{"1480 GetGPIO", "1510 GetGPIO", "1510 Close", "1510 Destroy",
                                  "2510 Init", "2510 Open", "2510 InitI2c", "2510 GetGPIO"}),
        std::vector<std::string>(close - 2, close + 6));
    // The joystick is let go with the button up; after the reconnect the press is
    // still latched, so the held button is not pressed again.
    EXPECT_EQ("1000:0 1420:8 1510:0 2510:0 2600:0", ReportTimeline());
    EXPECT_EQ(1, buttonLatched.load());
    EXPECT_EQ(" Destroy_ZUR_GP: OK \n Destroy_ZUR_GP: OK \n", sim::TakeStdout());
    EXPECT_EQ(sim::Resources{}, sim::Held());
}

TEST_F(PollWorkerTest, ALongPressStateCarriesOverAReconnect) {
    sim::AddHidDevice(VirtualJoystick());
    sim::SetButtonTimeline({{0, up}, {1100, down}, {2500, up}});
    sim::AddFault({.call = "ZUR_USBIO_API_GetGPIO", .from = 2200, .until = 2300});
    Run(4, 2, 0, 100, 250, 3500);
    // The long click fires at 1900 (the simulation runs it on the worker's thread,
    // so the worker's next poll is at 2150). The connection is lost at 2250; the
    // release, first seen after the reconnect, sends nothing more.
    EXPECT_EQ("1000:0 1900:16 2150:0 2250:0 3250:0 3500:0", ReportTimeline());
    EXPECT_EQ(longPressIdle, longPressState.load());
}

struct FirstPollCase {
    int failures;
    bool abandoned;
};
PRINTED_BY_TEST_NAME(FirstPollCase)

// The first poll of a new connection and its 101 immediate retries: when all of
// them fail, the connection is abandoned without a close, and the joystick it
// left open is released before the next one is opened.
const FirstPollCase firstPollCases[] = {{100, false}, {101, true}, {102, true}};

class FirstPollTest : public PollWorkerTest, public ::testing::WithParamInterface<FirstPollCase> {};

TEST_P(FirstPollTest, ANewConnectionWhoseFirstPollsKeepFailingIsAbandoned) {
    const FirstPollCase& c = GetParam();
    sim::AddHidDevice(VirtualJoystick());
    sim::AddFault({.call = "ZUR_USBIO_API_GetGPIO", .firstCall = 1, .calls = c.failures});
    Run(4, 0, 0, 30, 250, 2100);
    std::vector<std::string> calls = LibraryCalls();
    size_t firstPolls = c.abandoned ? 102 : 101;
    EXPECT_EQ(std::vector<std::string>(firstPolls, "1000 GetGPIO"),
              std::vector<std::string>(calls.begin() + 3, calls.begin() + 3 + firstPolls))
        << c.failures;
    EXPECT_EQ(c.abandoned ? "2000 Init" : "1030 GetGPIO", calls[3 + firstPolls]) << c.failures;
    // The message's own leading line feed stands before the name.
    std::vector<std::string> traces = OwnTraceLines();
    EXPECT_EQ(c.abandoned ? std::vector<std::string>{"\nZUR Joyvane: Error: Get_GPIO after Init"}
                          : std::vector<std::string>{},
              std::vector<std::string>(traces.begin() + 1, traces.end()))
        << c.failures;
    if (c.abandoned) {
        // No close for the abandoned connection; its joystick is let go
        // (idle, then closed) just before the reopen.
        EXPECT_EQ("1000:0 2000:0 2000:0", ReportTimeline().substr(0, 20));
        EXPECT_EQ(" Destroy_ZUR_GP: OK \n", sim::TakeStdout().substr(0, 21));
    }
    EXPECT_EQ(sim::Resources{}, sim::Held()) << c.failures;
}

INSTANTIATE_TEST_SUITE_P(Failures, FirstPollTest, ::testing::ValuesIn(firstPollCases),
                         [](const ::testing::TestParamInfo<FirstPollCase>& info) {
                             return std::to_string(info.param.failures) + "FailedPolls";
                         });

TEST_F(PollWorkerTest, NeverHoldsMoreThanOneJoystickConnection) {
    sim::AddHidDevice(VirtualJoystick());
    // Every connection is abandoned, and every library close is refused.
    sim::AddFault({.call = "ZUR_USBIO_API_GetGPIO", .from = 0, .until = 10000});
    sim::AddFault({.call = "ZUR_USBIO_API_Close", .from = 0, .until = 10000});
    int most = 0;
    sim::OnCaptureCall([&most](sim::CaptureCall, int) {
        sim::Resources held = sim::Held();
        most = std::max(most, held.deviceHandles + held.localBlocks);
    });
    Run(4, 0, 0, 30, 250, 5500);
    EXPECT_EQ(2, most); // one device handle and its path buffer
    EXPECT_EQ(5u, sim::CallsNamed("CreateFileA").size());
    EXPECT_EQ(sim::Resources{}, sim::Held());
}

TEST_F(PollWorkerTest, ARefusedCloseLeavesTheConnectionUntilTheNextOpen) {
    sim::AddHidDevice(VirtualJoystick());
    sim::SetButtonTimeline({{0, down}});
    sim::AddFault({.call = "ZUR_USBIO_API_GetGPIO", .from = 1025, .until = 1035});
    sim::AddFault({.call = "ZUR_USBIO_API_Close", .firstCall = 1, .calls = 1});
    Run(4, 0, 0, 30, 250, 2100);
    std::vector<std::string> calls = LibraryCalls();
    ASSERT_LE(9u, calls.size());
    EXPECT_EQ((std::vector<std::string>{"1000 Init", "1000 Open", "1000 InitI2c", "1000 GetGPIO",
                                        "1030 GetGPIO", "1030 Close", "2030 Init", "2030 Open",
                                        "2030 InitI2c"}),
              std::vector<std::string>(calls.begin(), calls.begin() + 9));
    // Button 4 was down when the poll failed. The refused close kept the joystick,
    // but with its buttons up at once; the reopen lets it go first, and the press
    // is still latched.
    EXPECT_EQ("1000:0 1000:8 1030:0 2030:0 2030:0", ReportTimeline().substr(0, 34));
    EXPECT_EQ(sim::Resources{}, sim::Held());
}

TEST_F(PollWorkerTest, AStopWhileConnectedEndsThePollPauseClosesUnloadsAndLeaves) {
    sim::AddHidDevice(VirtualJoystick());
    Run(4, 0, 0, 30, 250, 2000);
    std::vector<std::string> calls = LibraryCalls();
    EXPECT_EQ("1990 GetGPIO", calls[calls.size() - 3]);
    EXPECT_EQ("2000 Close", calls[calls.size() - 2]);
    EXPECT_EQ("2000 Destroy", calls[calls.size() - 1]);
    std::vector<sim::Call> frees = sim::CallsNamed("FreeLibrary");
    ASSERT_EQ(1u, frees.size());
    EXPECT_EQ(2000u, frees[0].time);
    EXPECT_EQ(sim::Resources{}, sim::Held());
}

TEST_F(PollWorkerTest, AStopBeforeTheLoopStillClosesDeviceZeroAndUnloads) {
    auto* params = static_cast<ServiceConfig*>(LocalAlloc(LPTR, sizeof(ServiceConfig)));
    *params = ServiceConfig{4, 0, 0, 30, 250};
    runFlag.store(0);
    EXPECT_EQ(0u, PollWorker(params));
    EXPECT_EQ((std::vector<std::string>{"0 Close", "0 Destroy"}), LibraryCalls());
    EXPECT_EQ(1, sim::ModuleFrees("ZUR_USBIO_KAD.dll"));
    EXPECT_EQ(" failed CloseHandle \n", sim::TakeStdout());
    EXPECT_EQ(sim::Resources{}, sim::Held());
}

TEST_F(PollWorkerTest, LeavingCancelsAPendingLongPressTimer) {
    sim::AddHidDevice(VirtualJoystick());
    sim::SetButtonTimeline({{0, up}, {1500, down}});
    Run(4, 2, 0, 30, 250, 1600);
    EXPECT_EQ(0u, sim::PendingTimers());
    sim::Advance(2000);
    EXPECT_EQ("1000:0 1600:0", ReportTimeline());
}

TEST_F(PollWorkerTest, AnUnknownModeFailsEveryPollThatWouldAct) {
    sim::AddHidDevice(VirtualJoystick());
    sim::SetButtonTimeline({{0, up}, {1100, down}});
    Run(4, 7, 0, 50, 250, 2200);
    // The press fails its poll and closes; the reopened connection's first polls
    // see the button still down and latched, and succeed.
    std::vector<std::string> calls = LibraryCalls();
    EXPECT_EQ("1100 Close", calls[6]);
    EXPECT_EQ("2100 Init", calls[8]);
}

struct ShortPause {
    int32_t pollMs;
};
PRINTED_BY_TEST_NAME(ShortPause)

// A poll pause of 0 or less would spin a whole core: it lasts 1 ms.
class ShortPauseTest : public PollWorkerTest, public ::testing::WithParamInterface<ShortPause> {};

TEST_P(ShortPauseTest, APollPauseOfZeroOrLessLastsOneMillisecond) {
    const ShortPause& c = GetParam();
    sim::AddHidDevice(VirtualJoystick());
    Run(4, 0, 0, c.pollMs, 250, 1010);
    std::vector<std::string> polls;
    for (const sim::Call& call : sim::CallsNamed("ZUR_USBIO_API_GetGPIO")) {
        polls.push_back(std::to_string(call.time));
    }
    EXPECT_EQ((std::vector<std::string>{"1000", "1001", "1002", "1003", "1004", "1005", "1006",
                                        "1007", "1008", "1009"}),
              polls)
        << c.pollMs;
}

INSTANTIATE_TEST_SUITE_P(Pauses, ShortPauseTest,
                         ::testing::Values(ShortPause{0}, ShortPause{-5}, ShortPause{1}),
                         [](const ::testing::TestParamInfo<ShortPause>& info) {
                             return "Poll" + SpelledOut(std::to_string(info.param.pollMs)) + "Ms";
                         });

// A poll fails while a mode-2 press is held and the capture device stays away: the
// joystick is let go with its buttons up, and the long-press timer that falls due
// afterwards finds no joystick. Nothing is sent then, so no report is refused.
TEST_F(PollWorkerTest, ALongPressTimerAfterTheJoystickWasLetGoPrintsNoRefusal) {
    sim::AddHidDevice(VirtualJoystick());
    sim::SetButtonTimeline({{0, up}, {1500, down}});
    sim::AddFault({.call = "ZUR_USBIO_API_GetGPIO", .from = 1600});
    sim::AddFault({.call = "ZUR_USBIO_API_Init", .from = 1600});
    Run(4, 2, 0, 30, 250, 4000);
    EXPECT_EQ("1000:0 1600:0", ReportTimeline());
    EXPECT_EQ(1u, sim::CallsNamed("(timer fires)").size()); // at 2330
    EXPECT_EQ(" Destroy_ZUR_GP: OK \n failed CloseHandle \n", sim::TakeStdout());
}

// The joystick's driver restarts while the capture device stays: the report it
// refuses counts as a lost connection, so the worker closes and reopens, and the
// button works again without a restart of the service.
TEST_F(PollWorkerTest, AJoystickThatRefusesAReportIsOpenedAgain) {
    sim::AddHidDevice(VirtualJoystick());
    sim::SetButtonTimeline({{0, up}, {1500, down}, {1800, up}, {3500, down}});
    sim::At(1600, [] { sim::RemoveHidDevices(); });
    sim::At(1700, [] { sim::AddHidDevice(VirtualJoystick()); });
    Run(4, 0, 0, 30, 250, 3600);
    // The release seen at 1810 is refused (the old handle is dead); the next poll
    // counts as failed: the joystick is let go and the connection reopened a
    // second later, on the joystick that came back.
    EXPECT_EQ("1000:0 1510:8 1810:0! 1840:0! 2840:0 3500:8 3600:0", ReportTimeline());
    std::vector<std::string> calls = LibraryCalls();
    auto close = std::find(calls.begin(), calls.end(), "1840 Close");
    ASSERT_NE(calls.end(), close);
    EXPECT_EQ((std::vector<std::string>{"1810 GetGPIO", "1840 Close", "1840 Destroy", "2840 Init"}),
              std::vector<std::string>(close - 1, close + 3));
    EXPECT_EQ("failed HidD_SetFeature \nfailed HidD_SetFeature \n Destroy_ZUR_GP: OK \n",
              sim::TakeStdout().substr(0, 69));
    EXPECT_EQ(sim::Resources{}, sim::Held());
}

// The worker takes its five settings from the call that starts it, all of them:
// the service's own copy may say otherwise (a test, or a --check run in the same
// process) and is not read.
TEST_F(PollWorkerTest, TheStartedWorkerUsesTheSettingsItWasGiven) {
    sim::UseRealTime(0.1);
    sim::AddHidDevice(VirtualJoystick());
    sim::SetButtonTimeline({{0, up}, {1500, down}});
    serviceConfig = ServiceConfig{1, 1, 0, 500, 100};
    ASSERT_EQ(1, StartPollWorker(ServiceConfig{5, 0, 1, 30, 250}));
    WaitUntil([] { return sim::Reports().size() >= 2; }, 2000);
    EXPECT_EQ(1, StopPollWorker(workerStopDeadlineMs));
    // Button 5 inverted, follow mode: idle 16, pressed 0, and no click.
    std::vector<sim::Report> reports = sim::Reports();
    ASSERT_LE(2u, reports.size());
    EXPECT_EQ(16, ReportValue(reports[0]));
    EXPECT_EQ(0, ReportValue(reports[1]));
    EXPECT_EQ(16, ReportValue(reports.back())); // let go at the stop
    // Polled every 30 ms, not every 500.
    std::vector<sim::Call> polls = sim::CallsNamed("ZUR_USBIO_API_GetGPIO");
    ASSERT_LE(2u, polls.size());
    EXPECT_LT(polls[1].time - polls[0].time, 100u);
}

} // namespace
