// The worker and the multimedia timer thread at the moments where they meet, each
// interleaving replayed exactly: one thread is held at a platform call while the
// other does its part, then let go. The clock runs in (scaled) real time, so that
// the timer's callback runs on a thread of its own as it does on Windows.
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "bridge/button_masks.h"
#include "bridge/poll_worker.h"
#include "joystick/virtual_joystick.h"
#include "tests/product_fixture.h"

namespace {

constexpr GpioState down = gpioButtonDown;
constexpr GpioState up = gpioButtonUp;
constexpr uint32_t heldWithinMs = 5000;
// Long enough for a thread to reach a call when nothing keeps it from there.
constexpr uint32_t unlessExcludedMs = 300;

class InterleavingTest : public ProductTest {
  protected:
    void SetUp() override {
        ProductTest::SetUp();
        // 800 virtual ms are 80 real ones.
        sim::UseRealTime(0.1);
        sim::AddHidDevice(VirtualJoystick());
        ASSERT_EQ(1, Init_ZUR_GP());
        ComputeButtonMasks(2, 4, 0);
    }
};

// The long click's first report is decided on the timer thread while the worker
// closes the joystick. Whatever the order, the worker's idle report must be the
// last one the device takes, and nothing may be written on the handle after it.
TEST_F(InterleavingTest, ACloseDuringTheLongClickIsTheLastWordOnTheJoystick) {
    int longClick = sim::HoldAt("HidD_SetFeature");
    ASSERT_EQ(0, TranslateButtonState(down, 2, 4, 250));
    ASSERT_TRUE(sim::WaitUntilHeld(longClick, heldWithinMs));

    int close = sim::HoldAt("CloseHandle");
    std::thread worker([] { ReleaseJoystick(); });
    // Where the callback's decision and its report were not one step, the worker
    // would now get in between and reach its close.
    bool closedInBetween = sim::WaitUntilHeld(close, unlessExcludedMs);
    sim::ReleaseHold(longClick);
    ASSERT_TRUE(sim::WaitUntilHeld(close, heldWithinMs));
    sim::ReleaseHold(close);
    worker.join();
    sim::WaitForTimers();
    std::this_thread::sleep_for(std::chrono::milliseconds(50)); // the click's 250 virtual ms

    EXPECT_FALSE(closedInBetween);
    EXPECT_EQ((std::vector<std::string>{"report 16", "report 0"}), ReportsAndStatus());
    // The click was ended by the close; its own idle report was not tried.
    EXPECT_EQ(" Destroy_ZUR_GP: OK \n", sim::TakeStdout());
    EXPECT_EQ(sim::Resources{}, sim::Held());
}

// The press's timer falls due before timeSetEvent has returned its id to the
// worker: the callback must still recognise the press as its own, and the id it
// forgets must be the one the worker stored. The worker is held right after it
// lets the lock go (the callback is held before it runs, so that only the worker
// can be), and the callback runs then, before anything else the worker does: an id
// stored only after the unlock would stay recorded for a timer that is spent.
TEST_F(InterleavingTest, ATimerThatFiresBeforeItsIdIsStoredStillGivesTheLongClick) {
    int armed = sim::HoldAt("timeSetEvent");
    int fires = sim::HoldAt("(timer fires)");
    std::thread press([] { EXPECT_EQ(0, TranslateButtonState(down, 2, 4, 250)); });
    ASSERT_TRUE(sim::WaitUntilHeld(armed, heldWithinMs));
    ASSERT_TRUE(sim::WaitUntilHeld(fires, heldWithinMs));
    int unlocked = sim::HoldAt("ReleaseSRWLockExclusive");
    sim::ReleaseHold(armed);
    ASSERT_TRUE(sim::WaitUntilHeld(unlocked, heldWithinMs));
    sim::ReleaseHold(fires);
    ASSERT_TRUE(sim::WaitForCallbacksDone(1, heldWithinMs));
    sim::ReleaseHold(unlocked);
    press.join();
    EXPECT_EQ(0u, longPressTimerId.load());
    // Released long after 800 ms: the long click was sent, so the release sends
    // nothing, and kills nothing: the one kill is the callback's own.
    ASSERT_EQ(0, TranslateButtonState(up, 2, 4, 250));
    EXPECT_EQ((std::vector<std::string>{"report 16", "report 0"}), ReportsAndStatus());
    EXPECT_EQ(1u, sim::CallsNamed("timeKillEvent").size());
    EXPECT_EQ(longPressIdle, longPressState.load());
}

// A timer of the first press fires as its release comes; by the time its callback
// runs, a second press is armed, and Windows has handed its timer the same id (it
// documents no uniqueness; older Wine gave every timer id 1). The stale callback
// must neither click for the second press nor end its timer: the second press,
// released before its 800 ms, gives its short click.
TEST_F(InterleavingTest, AStaleCallbackLeavesTheNextPressAloneWhateverItsId) {
    sim::RepeatTimerIds(true);
    int stale = sim::HoldAt("(timer fires)");
    ASSERT_EQ(0, TranslateButtonState(down, 2, 4, 0));
    ASSERT_TRUE(sim::WaitUntilHeld(stale, heldWithinMs));
    // Release, short click (the timer is already spent), and a new press.
    ASSERT_EQ(0, TranslateButtonState(up, 2, 4, 0));
    int second = sim::HoldAt("(timer fires)");
    ASSERT_EQ(0, TranslateButtonState(down, 2, 4, 0));
    std::vector<sim::Call> set = sim::CallsNamed("timeSetEvent");
    ASSERT_EQ(2u, set.size());
    ASSERT_EQ(set[0].values.result, set[1].values.result); // the same id again
    sim::ReleaseHold(stale);
    ASSERT_TRUE(sim::WaitForCallbacksDone(1, heldWithinMs));
    // Released while its own timer has not acted yet: the short click.
    ASSERT_EQ(0, TranslateButtonState(up, 2, 4, 0));
    EXPECT_EQ((std::vector<std::string>{"report 8", "report 0", "report 8", "report 0"}),
              ReportsAndStatus());
    sim::ReleaseHold(second);
    sim::WaitForTimers();
    EXPECT_EQ(4u, sim::Reports().size());
}

// The worker kills the press's timer without the joystick lock: a kill that waited
// for the callback (TIME_KILL_SYNCHRONOUS) would otherwise wait for a callback that
// waits for the lock. Held inside its kill, the worker must leave the callback
// that falls due meanwhile free to run to its end, which then does nothing.
struct KillCase {
    const char* name;
    void (*kill)();
    const char* reports;
};
PRINTED_BY_TEST_NAME(KillCase)

const KillCase killCases[] = {
    {"release", [] { EXPECT_EQ(0, TranslateButtonState(up, 2, 4, 0)); }, "8 0"},
    {"cancel when the worker ends", [] { CancelLongPressTimer(); }, ""},
};

class TimerKillTest : public InterleavingTest, public ::testing::WithParamInterface<KillCase> {};

TEST_P(TimerKillTest, LeavesTheJoystickLockFreeForTheCallback) {
    const KillCase& c = GetParam();
    ASSERT_EQ(0, TranslateButtonState(down, 2, 4, 0));
    int kill = sim::HoldAt("timeKillEvent");
    std::thread worker(c.kill);
    ASSERT_TRUE(sim::WaitUntilHeld(kill, heldWithinMs));
    // The timer falls due at 800 ms, while its kill has not happened yet.
    bool callbackReturned = sim::WaitForCallbacksDone(1, heldWithinMs);
    sim::ReleaseHold(kill);
    worker.join();
    sim::WaitForTimers();
    EXPECT_TRUE(callbackReturned);
    std::string reports;
    for (const std::string& entry : ReportsAndStatus()) {
        reports += (reports.empty() ? "" : " ") + entry.substr(7);
    }
    EXPECT_EQ(c.reports, reports);
}

INSTANTIATE_TEST_SUITE_P(Kills, TimerKillTest, ::testing::ValuesIn(killCases),
                         NamedBy<&KillCase::name>{});

// A long click is under way when the button is let go, pressed again and let go
// within its 250 ms: the short click of that second press replaces it, and the
// long click's end may not cut the short click short.
TEST_F(InterleavingTest, TheNextPressesClickIsNotEndedByTheLongClickBeforeIt) {
    ASSERT_EQ(0, TranslateButtonState(down, 2, 4, 1000));
    WaitUntil([] { return !sim::Reports().empty(); }, 1000);
    ASSERT_EQ(1u, sim::Reports().size()); // the long click began
    ASSERT_EQ(0, TranslateButtonState(up, 2, 4, 1000));
    ASSERT_EQ(0, TranslateButtonState(down, 2, 4, 1000));
    // A 1000 ms short click: the long click's 250 ms end falls inside it.
    ASSERT_EQ(0, TranslateButtonState(up, 2, 4, 1000));
    sim::WaitForTimers();
    EXPECT_EQ((std::vector<std::string>{"report 16", "report 8", "report 0"}), ReportsAndStatus());
}

// The worker is stuck in the library while it opens the capture device, past the
// stop's deadline; the stop lets go. When the library returns at last, the worker
// closes the joystick it opens again without a report, and polls nothing: no button
// can be pressed after the service was reported stopped, and no handle is left.
TEST_F(InterleavingTest, AStopDuringAConnectLeavesNoPollAfterIt) {
    Destroy_ZUR_GP(); // the fixture's
    sim::TakeStdout();
    sim::InstallCaptureLibrary();
    sim::SetButtonTimeline({{0, down}});
    int stuck = sim::HoldAt("ZUR_USBIO_API_InitI2c");
    ASSERT_EQ(1, StartPollWorker(ServiceConfig{4, 0, 0, 30, 250}));
    ASSERT_TRUE(sim::WaitUntilHeld(stuck, heldWithinMs));
    EXPECT_EQ(0, StopPollWorker(workerStopDeadlineMs));
    sim::ReleaseHold(stuck);
    EXPECT_TRUE(WaitUntil([] { return sim::RunningThreads() == 0; }, 2000));
    EXPECT_TRUE(sim::CallsNamed("ZUR_USBIO_API_GetGPIO").empty());
    EXPECT_EQ(2u, sim::CallsNamed("CreateFileA").size()); // the fixture's, the one after the stop
    EXPECT_TRUE(sim::Reports().empty());
    EXPECT_EQ(0, sim::Held().deviceHandles);
    // The worker kept its stop event, for it could not be waited for.
    CloseHandle(workerStopEvent.exchange(nullptr));
}

} // namespace
