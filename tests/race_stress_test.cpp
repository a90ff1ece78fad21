// The release of a mode-2 press against its long-press timer, on real threads,
// with the release timed all around the timer's due time: every press must give
// exactly one click, the short one or the long one.
#include <chrono>
#include <cstdio>
#include <random>
#include <thread>

#include "bridge/button_masks.h"
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
    std::uniform_int_distribution<int> releaseAfterUs(20, 400);
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
