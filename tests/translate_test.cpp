// Button states in, timed feature reports out: every mode, normal and inverted,
// on the virtual clock.
#include <string>
#include <vector>

#include "bridge/button_masks.h"
#include "joystick/virtual_joystick.h"
#include "tests/product_fixture.h"

namespace {

constexpr GpioState down = gpioButtonDown;
constexpr GpioState up = gpioButtonUp;

// The button state read at a virtual time, and what TranslateButtonState returns.
struct Step {
    uint32_t time;
    GpioState state;
    int result = 0;
};

struct Settings {
    int32_t mode, button, inverted, pulseMs;
};

struct Scenario {
    const char* name;
    Settings settings;
    std::vector<Step> steps;
    const char* reports; // "time:value ..." once the clock has reached 3000 ms
};

class TranslateTest : public ProductTest {
  protected:
    void SetUp() override {
        ProductTest::SetUp();
        joystickConnection.deviceHandle.store(sim::OpenJoystickHandle());
    }

    // Plays the steps as the worker would: a state read at its time, or at once
    // if a click held the worker up past it.
    void Play(const Scenario& s) {
        const Settings& c = s.settings;
        for (const Step& step : s.steps) {
            if (step.time > sim::Now()) {
                sim::Advance(step.time - sim::Now());
            }
            ComputeButtonMasks(c.mode, c.button, c.inverted);
            EXPECT_EQ(step.result, TranslateButtonState(step.state, c.mode, c.button, c.pulseMs))
                << s.name << ": state " << step.state << " at " << step.time;
        }
        if (sim::Now() < 3000) {
            sim::Advance(3000 - sim::Now());
        }
    }
};

PRINTED_BY_TEST_NAME(Scenario)

const Scenario scenarios[] = {
    {"follow", {0, 4, 0, 250}, {{0, down}, {30, down}, {60, up}, {90, up}}, "0:8 60:0"},
    {"follow inverted", {0, 4, 1, 250}, {{0, down}, {60, up}}, "0:0 60:8"},
    {"follow, button 1", {0, 1, 0, 250}, {{10, down}, {20, up}}, "10:1 20:0"},
    {"pulse", {1, 4, 0, 100}, {{0, down}, {130, down}, {160, up}, {190, up}}, "0:8 100:0 160:0"},
    {"pulse inverted", {1, 4, 1, 100}, {{0, down}, {160, up}}, "0:0 100:8 160:8"},
    {"pulse, release read during the click",
     {1, 4, 0, 100},
     {{0, down}, {50, up}},
     "0:8 100:0 100:0"},
    {"pulse of zero length", {1, 3, 0, 0}, {{5, down}, {9, up}}, "5:4 5:0 9:0"},
    {"pulse of negative length is no pause", {1, 3, 0, -40}, {{5, down}}, "5:4 5:0"},
    {"short press", {2, 4, 0, 100}, {{0, down}, {30, down}, {300, up}}, "300:8 400:0"},
    {"short press inverted", {2, 4, 1, 100}, {{0, down}, {200, up}}, "200:16 300:24"},
    {"long press", {2, 4, 0, 100}, {{0, down}, {500, down}, {1200, up}}, "800:16 1050:0"},
    {"long press inverted", {2, 4, 1, 100}, {{0, down}, {1100, up}}, "800:8 1050:24"},
    {"long press held on", {2, 4, 0, 100}, {{0, down}, {2500, down}}, "800:16 1050:0"},
    {"long press, button 7 uses 7 and 8", {2, 7, 0, 100}, {{0, down}, {900, up}}, "800:128 1050:0"},
    {"short press, button 7", {2, 7, 0, 100}, {{0, down}, {100, up}}, "100:64 200:0"},
    // The timer falls due before the state read at the same millisecond.
    {"release read at 800 ms", {2, 4, 0, 100}, {{0, down}, {800, up}}, "800:16 1050:0"},
    {"release read at 799 ms", {2, 4, 0, 100}, {{0, down}, {799, up}}, "799:8 899:0"},
    {"two short presses",
     {2, 4, 0, 50},
     {{0, down}, {100, up}, {400, down}, {500, up}},
     "100:8 150:0 500:8 550:0"},
    {"short then long press",
     {2, 4, 0, 50},
     {{0, down}, {100, up}, {500, down}, {1400, up}},
     "100:8 150:0 1300:16 1550:0"},
    {"other states change nothing",
     {0, 4, 0, 250},
     {{0, 0}, {10, 2}, {20, -1}, {30, 4}, {40, down}, {50, 2}, {60, 0}, {70, up}},
     "40:8 70:0"},
    {"an up state with nothing latched sends nothing", {0, 4, 0, 250}, {{0, up}, {10, up}}, ""},
    {"unknown mode", {3, 4, 0, 250}, {{0, down, 1}, {10, down}, {20, up, 1}, {30, up, 1}}, ""},
    {"negative mode", {-1, 4, 1, 250}, {{0, up}, {10, down, 1}, {20, up, 1}}, ""},
};

template <typename Case>
class TranslateCases : public TranslateTest, public ::testing::WithParamInterface<Case> {};

using TranslateScenarioTest = TranslateCases<Scenario>;

TEST_P(TranslateScenarioTest, TurnsButtonStatesIntoTimedReports) {
    const Scenario& s = GetParam();
    Play(s);
    EXPECT_EQ(s.reports, ReportTimeline()) << s.name;
    EXPECT_EQ(0u, sim::PendingTimers()) << s.name;
    EXPECT_EQ("", sim::TakeStdout()) << s.name;
}

INSTANTIATE_TEST_SUITE_P(Scenarios, TranslateScenarioTest, ::testing::ValuesIn(scenarios),
                         NamedBy<&Scenario::name>());

TEST_F(TranslateTest, UnknownModeKeepsTheLatchSoEveryLaterUpStateFails) {
    EXPECT_EQ(1, TranslateButtonState(down, 5, 4, 250));
    EXPECT_EQ(1, buttonLatched.load());
    EXPECT_EQ(0, TranslateButtonState(down, 5, 4, 250));
    EXPECT_EQ(1, TranslateButtonState(up, 5, 4, 250));
    EXPECT_EQ(1, TranslateButtonState(up, 5, 4, 250));
    EXPECT_EQ(1, buttonLatched.load());
}

// The user value is the press's sequence number, not the button: each press a new one.
TEST_F(TranslateTest, LongPressTimerIsOneShotAt800MsWithThePressAsUserValue) {
    ComputeButtonMasks(2, 6, 0);
    TranslateButtonState(down, 2, 6, 100);
    TranslateButtonState(up, 2, 6, 0);
    TranslateButtonState(down, 2, 6, 100);
    std::vector<sim::Call> set = sim::CallsNamed("timeSetEvent");
    ASSERT_EQ(2u, set.size());
    ASSERT_EQ(4u, set[0].values.numbers.size());
    const int64_t firstPress = set[0].values.numbers[2];
    EXPECT_NE(0, firstPress);
    EXPECT_EQ(
        (sim::CallValues{.result = 1,
                         .numbers = {800, 50, firstPress, TIME_ONESHOT | TIME_CALLBACK_FUNCTION},
                         .pointers = {sim::Pointer::set}}),
        set[0].values)
        << set[0].args;
    EXPECT_EQ(firstPress + 1, set[1].values.numbers.at(2)) << set[1].args;
    EXPECT_EQ(firstPress + 1, static_cast<int64_t>(armedPress.load()));
    EXPECT_EQ(longPressArmed, longPressState.load());
    EXPECT_EQ(2u, longPressTimerId.load());
}

TEST_F(TranslateTest, AReleaseKillsItsPressTimer) {
    ComputeButtonMasks(2, 4, 0);
    TranslateButtonState(down, 2, 4, 100);
    sim::Advance(200);
    TranslateButtonState(up, 2, 4, 100);
    std::vector<sim::Call> kills = sim::CallsNamed("timeKillEvent");
    ASSERT_EQ(1u, kills.size());
    EXPECT_EQ((sim::CallValues{.result = MMSYSERR_NOERROR, .numbers = {1}}), kills[0].values)
        << kills[0].args;
    EXPECT_EQ(0u, longPressTimerId.load());
    EXPECT_EQ(longPressIdle, longPressState.load());
}

TEST_F(TranslateTest, TheLongClickBlocksOnlyTheTimerAndForgetsItsTimer) {
    ComputeButtonMasks(2, 4, 0);
    TranslateButtonState(down, 2, 4, 100);
    sim::Advance(1000);
    EXPECT_EQ(longPressFired, longPressState.load());
    EXPECT_EQ(0u, longPressTimerId.load());
    // The release after the long click sends nothing and kills nothing: the one
    // kill is the callback's own, of its spent timer, when it fired.
    TranslateButtonState(up, 2, 4, 100);
    EXPECT_EQ("800:16 1050:0", ReportTimeline());
    std::vector<sim::Call> kills = sim::CallsNamed("timeKillEvent");
    ASSERT_EQ(1u, kills.size());
    EXPECT_EQ(800u, kills[0].time);
    EXPECT_EQ((std::vector<int64_t>{1}), kills[0].values.numbers) << kills[0].args;
    EXPECT_EQ(longPressIdle, longPressState.load());
}

// A callback of a timer that is no longer the current one, fired late (it was
// already on its way when its press was released), must not act for a newer press.
TEST_F(TranslateTest, AStaleTimerCallbackNeitherClicksNorCancelsTheCurrentTimer) {
    ComputeButtonMasks(2, 4, 0);
    TranslateButtonState(down, 2, 4, 50);
    UINT first = longPressTimerId.load();
    uint32_t firstPress = armedPress.load();
    sim::Advance(100);
    TranslateButtonState(up, 2, 4, 50);
    sim::Advance(100);
    TranslateButtonState(down, 2, 4, 50);
    UINT second = longPressTimerId.load();
    ASSERT_NE(first, second);

    LongPressTimerProc(first, 0, firstPress, 0, 0);
    EXPECT_EQ(longPressArmed, longPressState.load());
    EXPECT_EQ(second, longPressTimerId.load());
    EXPECT_EQ(1u, sim::PendingTimers());
    EXPECT_EQ("100:8 150:0", ReportTimeline());

    sim::Advance(2000);
    EXPECT_EQ("100:8 150:0 1050:16 1300:0", ReportTimeline());
}

// A callback that lost to the release (both at 800 ms) sends nothing.
TEST_F(TranslateTest, ACallbackAfterTheReleaseWonSendsNothing) {
    ComputeButtonMasks(2, 4, 0);
    TranslateButtonState(down, 2, 4, 50);
    UINT id = longPressTimerId.load();
    uint32_t press = armedPress.load();
    sim::Advance(300);
    TranslateButtonState(up, 2, 4, 50);
    LongPressTimerProc(id, 0, press, 0, 0);
    EXPECT_EQ("300:8 350:0", ReportTimeline());
}

TEST_F(TranslateTest, ReportsGoOnWhenTheDeviceRefusesThem) {
    sim::AddFault({.call = "HidD_SetFeature", .from = sim::Now()});
    ComputeButtonMasks(1, 4, 0);
    TranslateButtonState(down, 1, 4, 100);
    TranslateButtonState(up, 1, 4, 100);
    EXPECT_EQ("0:8! 100:0! 100:0!", ReportTimeline());
    EXPECT_EQ(0, buttonLatched.load());
    EXPECT_EQ("failed HidD_SetFeature \nfailed HidD_SetFeature \nfailed HidD_SetFeature \n",
              sim::TakeStdout());
}

// Each refused report of a mode-2 click prints its line once, whichever thread sent
// it; the other reports of the click still go out.
struct RefusedClickReport {
    const char* name;
    uint32_t releaseAt; // the short click before 800 ms, the long click after
    int refused;        // which report of the click (1: the press, 2: its end)
    const char* reports;
};
PRINTED_BY_TEST_NAME(RefusedClickReport)

const RefusedClickReport refusedClickReports[] = {
    {"short click press", 300, 1, "300:8! 350:0"},
    {"short click end", 300, 2, "300:8 350:0!"},
    {"long click press", 2000, 1, "800:16! 1050:0"},
    {"long click end", 2000, 2, "800:16 1050:0!"},
};

using RefusedClickReportTest = TranslateCases<RefusedClickReport>;

TEST_P(RefusedClickReportTest, PrintsItsLineOnce) {
    const RefusedClickReport& c = GetParam();
    ComputeButtonMasks(2, 4, 0);
    sim::AddFault({.call = "HidD_SetFeature", .firstCall = c.refused});
    TranslateButtonState(down, 2, 4, 50);
    sim::Advance(c.releaseAt);
    TranslateButtonState(up, 2, 4, 50);
    sim::Advance(1000);
    EXPECT_EQ(c.reports, ReportTimeline());
    EXPECT_EQ("failed HidD_SetFeature \n", sim::TakeStdout());
}

INSTANTIATE_TEST_SUITE_P(Clicks, RefusedClickReportTest, ::testing::ValuesIn(refusedClickReports),
                         NamedBy<&RefusedClickReport::name>{});

} // namespace
