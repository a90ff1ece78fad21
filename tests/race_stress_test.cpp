// The release of a mode-2 press against its long-press timer, on real threads,
// with the release timed all around the timer's due time: every press must give
// exactly one click, the short one or the long one.
#include <chrono>
#include <cstdio>
#include <random>
#include <thread>

#include "bridge/button_masks.h"
#include "bridge/poll_worker.h"
#include "joystick/virtual_joystick.h"
#include "tests/product_fixture.h"

namespace {

using RaceStressTest = ProductTest;

TEST_F(RaceStressTest, ReleaseAgainstTimerGivesExactlyOneClickPerPress) {
    constexpr int presses = 10000;
    // 800 virtual ms become 80 real microseconds.
    constexpr double realPerVirtual = 0.0001;
    sim::UseRealTime(realPerVirtual);
    sim::SetCallLogging(false);
    joystickConnection.deviceHandle.store(sim::OpenJoystickHandle());
    ComputeButtonMasks(2, 4, 0);
    std::mt19937 random(20261208);
    std::uniform_int_distribution<int> releaseAfterUs(0, 400);
    int shortClicks = 0;
    int longClicks = 0;
    size_t seen = 0;
    for (int press = 0; press < presses; ++press) {
        ASSERT_EQ(0, TranslateButtonState(gpioButtonDown, 2, 4, 1));
        std::this_thread::sleep_for(std::chrono::microseconds(releaseAfterUs(random)));
        ASSERT_EQ(0, TranslateButtonState(gpioButtonUp, 2, 4, 1));
        sim::WaitForTimers();

        std::vector<sim::Report> reports = sim::Reports(seen);
        ASSERT_EQ(2u, reports.size()) << "press " << press;
        int first = ReportValue(reports[0]);
        ASSERT_TRUE(first == 8 || first == 16) << "press " << press << ": " << first;
        ASSERT_EQ(0, ReportValue(reports[1])) << "press " << press;
        shortClicks += first == 8 ? 1 : 0;
        longClicks += first == 16 ? 1 : 0;
        seen += reports.size();
        ASSERT_EQ(longPressIdle, longPressState.load());
        ASSERT_EQ(0u, longPressTimerId.load());
    }
    std::fprintf(stderr, "%d presses: %d short clicks, %d long clicks\n", presses, shortClicks,
                 longClicks);
    // The timing must have exercised both outcomes, or the race was never run.
    EXPECT_GT(shortClicks, 0);
    EXPECT_GT(longClicks, 0);
}

} // namespace

namespace {

// Presses that follow their releases at once, with the release timed all around
// the timer's due time: a callback that fires as the button is let go must not
// click for the next press. Every press gives one click, so there are as many
// pressed values as presses. A click ends with the idle value unless the next
// press's click replaced it first: two idle values in a row would be a click
// ended in the middle of the one after it.
TEST_F(RaceStressTest, ANewPressRightAfterAReleaseGetsItsOwnClick) {
    constexpr int presses = 4000;
    sim::UseRealTime(0.0001);
    sim::SetCallLogging(false);
    joystickConnection.deviceHandle.store(sim::OpenJoystickHandle());
    ComputeButtonMasks(2, 4, 0);
    std::mt19937 random(20261209);
    std::uniform_int_distribution<int> releaseAfterUs(20, 400);
    for (int press = 0; press < presses; ++press) {
        ASSERT_EQ(0, TranslateButtonState(gpioButtonDown, 2, 4, 1));
        std::this_thread::sleep_for(std::chrono::microseconds(releaseAfterUs(random)));
        ASSERT_EQ(0, TranslateButtonState(gpioButtonUp, 2, 4, 1));
    }
    sim::WaitForTimers();
    std::this_thread::sleep_for(std::chrono::milliseconds(5)); // the last long click's end
    int pressed = 0;
    int previous = -1;
    for (const sim::Report& report : sim::Reports()) {
        ASSERT_TRUE(report.accepted);
        int value = ReportValue(report);
        ASSERT_TRUE(value == 0 || value == 8 || value == 16) << value;
        ASSERT_FALSE(value == 0 && previous == 0) << "an idle value after the click had ended";
        pressed += value != 0 ? 1 : 0;
        previous = value;
    }
    EXPECT_EQ(presses, pressed);
    EXPECT_EQ(0, previous);
    EXPECT_EQ(longPressIdle, longPressState.load());
}

// The worker leaves (timer cancelled, joystick let go) all around the moment the
// long click begins on the timer thread. Whatever the order, the idle value is the
// last report the joystick takes, and nothing is written on it after its close.
TEST_F(RaceStressTest, TheWorkerLeavingDuringALongClickLeavesEveryButtonUp) {
    constexpr int runs = 2000;
    // 800 virtual ms are 800 real microseconds: the leaving falls on either side
    // of the timer even where the sanitizers slow every call down.
    sim::UseRealTime(0.001);
    sim::SetCallLogging(false);
    sim::AddHidDevice(VirtualJoystick());
    std::mt19937 random(20261210);
    std::uniform_int_distribution<int> leaveAfterUs(0, 1600);
    int clicksBegun = 0;
    size_t seen = 0;
    for (int run = 0; run < runs; ++run) {
        ASSERT_EQ(1, Init_ZUR_GP());
        ComputeButtonMasks(2, 4, 0);
        ASSERT_EQ(0, TranslateButtonState(gpioButtonDown, 2, 4, 250));
        std::this_thread::sleep_for(std::chrono::microseconds(leaveAfterUs(random)));
        CancelLongPressTimer();
        ReleaseJoystick();
        sim::WaitForTimers();
        std::this_thread::sleep_for(std::chrono::microseconds(300)); // a click's end
        std::vector<sim::Report> reports = sim::Reports(seen);
        seen += reports.size();
        ASSERT_FALSE(reports.empty());
        for (const sim::Report& report : reports) {
            ASSERT_TRUE(report.accepted) << "run " << run << ": a write after the close";
        }
        ASSERT_EQ(0, ReportValue(reports.back())) << "run " << run;
        clicksBegun += reports.size() > 1 ? 1 : 0;
        // The next press starts afresh.
        ASSERT_EQ(0, TranslateButtonState(gpioButtonUp, 2, 4, 0));
        seen = sim::Reports().size();
    }
    std::fprintf(stderr, "%d runs: the long click had begun in %d\n", runs, clicksBegun);
    EXPECT_GT(clicksBegun, 0);
    EXPECT_LT(clicksBegun, runs);
    EXPECT_EQ(sim::Resources{}, sim::Held());
}

} // namespace
