// The worker's pauses and the clicks on a high-resolution waitable timer, and the
// fallback where Windows refuses one: the real worker on the test's thread, on the
// virtual clock.
#include <algorithm>
#include <initializer_list>
#include <string>
#include <vector>

#include "bridge/button_masks.h"
#include "bridge/pause_timer.h"
#include "bridge/poll_worker.h"
#include "service/service_config.h"
#include "tests/product_fixture.h"

namespace {

constexpr int32_t down = gpioButtonDown;
constexpr int32_t up = gpioButtonUp;

// Runs the worker until the virtual time stopAt, when the stop request comes.
void RunWorker(int32_t mode, int32_t pollMs, int32_t pulseMs, uint32_t stopAt) {
    EXPECT_EQ(0u, RunPollWorker({4, mode, 0, pollMs, pulseMs}, stopAt));
}

// "time name" of the timing calls, with the length of each pause: a timer set for
// 30 ms is "1000 SetWaitableTimer 30", a wait on the stop event and the timer
// "1000 WaitForMultipleObjects event,timer", a wait on a click's own timer
// "WaitForSingleObject timer", one on the stop event alone "WaitForSingleObject
// event 30".
std::vector<std::string> TimingCalls() {
    std::vector<std::string> calls;
    for (const sim::Call& call : sim::Calls()) {
        std::string line = std::to_string(call.time) + " " + call.name;
        if (call.name == "CreateWaitableTimerExW" || call.name == "timeBeginPeriod" ||
            call.name == "timeEndPeriod" || call.name == "Sleep") {
            line += " " + std::to_string(call.values.numbers.at(0));
        } else if (call.name == "SetWaitableTimer") {
            line += " " + std::to_string(-call.values.numbers.at(1) / 10000);
        } else if (call.name == "WaitForMultipleObjects" || call.name == "WaitForSingleObject") {
            line += " " + (call.values.strings.empty() ? "failed" : call.values.strings.at(0));
            if (call.values.numbers.back() != INFINITE) {
                line += " " + std::to_string(call.values.numbers.back());
            }
        } else {
            continue;
        }
        calls.push_back(line);
    }
    return calls;
}

// The 30 ms poll pauses on the timer, one at each poll from from until before until.
std::vector<std::string> PollPauses(uint32_t from, uint32_t until) {
    std::vector<std::string> calls;
    for (uint32_t t = from; t < until; t += 30) {
        calls.push_back(std::to_string(t) + " SetWaitableTimer 30");
        calls.push_back(std::to_string(t) + " WaitForMultipleObjects event,timer");
    }
    return calls;
}

std::vector<std::string> Joined(std::initializer_list<std::vector<std::string>> parts) {
    std::vector<std::string> all;
    for (const std::vector<std::string>& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

struct TimingCase {
    const char* what;
    int32_t mode;
    std::vector<std::pair<uint32_t, int32_t>> button;
    bool refuseHighResolution;
    std::vector<world::Fault> faults;
    uint32_t stopAt;
    std::string reports;             // ReportTimeline(), as before the timer
    std::vector<std::string> timing; // TimingCalls(), in full
};
PRINTED_BY_TEST_NAME(TimingCase)

class PauseTimerTest : public ProductTestWithParam<TimingCase> {};

const TimingCase timingCases[] = {
    // Every pause is a high-resolution timer set for its length and a wait on it
    // together with the stop event: the reconnect pause, the polls, the click. The
    // stop ends the last poll pause at once.
    {"mode 1: every pause on the timer",
     1,
     {{0, up}, {1050, down}, {1100, up}},
     false,
     {},
     1170,
     "1000:0 1060:8 1160:0",
     {"0 CreateWaitableTimerExW 2", "0 SetWaitableTimer 1000",
      "0 WaitForMultipleObjects event,timer", "1000 SetWaitableTimer 30",
      "1000 WaitForMultipleObjects event,timer", "1030 SetWaitableTimer 30",
      "1030 WaitForMultipleObjects event,timer", "1060 SetWaitableTimer 100",
      "1060 WaitForMultipleObjects event,timer", "1160 SetWaitableTimer 30",
      "1160 WaitForMultipleObjects event,timer"}},
    // The long click runs on the timer's thread with a timer of its own, made and
    // closed by the click; the worker's polls go on meanwhile on its timer.
    {"mode 2: the long click on its own timer",
     2,
     {{0, up}, {1000, down}},
     false,
     {},
     2080,
     "1000:0 1800:16 2050:0",
     Joined({{"0 CreateWaitableTimerExW 2", "0 SetWaitableTimer 1000",
              "0 WaitForMultipleObjects event,timer"},
             PollPauses(1000, 1800),
             {"1800 CreateWaitableTimerExW 2", "1800 SetWaitableTimer 250",
              "1800 WaitForSingleObject timer"},
             PollPauses(2050, 2051)})},
    // Windows before 10 1803: no high-resolution timer. The resolution is raised
    // from the connect to the stop, and the stop event's timeout measures each
    // pause; the long click sleeps.
    {"flag refused: 1 ms resolution while connected",
     1,
     {{0, up}, {1050, down}, {1100, up}},
     true,
     {},
     1170,
     "1000:0 1060:8 1160:0",
     {"0 CreateWaitableTimerExW 2", "0 WaitForSingleObject event 1000", "1000 timeBeginPeriod 1",
      "1000 WaitForSingleObject event 30", "1030 WaitForSingleObject event 30",
      "1060 WaitForSingleObject event 100", "1160 WaitForSingleObject event 30",
      "1170 timeEndPeriod 1"}},
    // A poll that fails ends the connection and the raised resolution with it; the
    // reconnect raises it again.
    {"flag refused: lowered while the device is away",
     0,
     {{0, up}},
     true,
     {{.call = "ZUR_USBIO_API_GetGPIO", .firstCall = 3}},
     2100,
     "1000:0 1060:0 2060:0",
     {"0 CreateWaitableTimerExW 2", "0 WaitForSingleObject event 1000", "1000 timeBeginPeriod 1",
      "1000 WaitForSingleObject event 30", "1030 WaitForSingleObject event 30",
      "1060 timeEndPeriod 1", "1060 WaitForSingleObject event 1000", "2060 timeBeginPeriod 1",
      "2060 WaitForSingleObject event 30", "2090 WaitForSingleObject event 30",
      "2100 timeEndPeriod 1"}},
    // A new connection whose first polls keep failing is given up: lowered too.
    {"flag refused: lowered when the first polls fail",
     0,
     {{0, up}},
     true,
     {{.call = "ZUR_USBIO_API_GetGPIO", .firstCall = 1, .calls = 200}},
     1500,
     "1000:0",
     {"0 CreateWaitableTimerExW 2", "0 WaitForSingleObject event 1000", "1000 timeBeginPeriod 1",
      "1000 timeEndPeriod 1", "1000 WaitForSingleObject event 1000"}},
    // A refused raise owes nothing.
    {"flag refused, and the raise too",
     0,
     {{0, up}},
     true,
     {{.call = "timeBeginPeriod"}},
     1040,
     "1000:0",
     {"0 CreateWaitableTimerExW 2", "0 WaitForSingleObject event 1000", "1000 timeBeginPeriod 1",
      "1000 WaitForSingleObject event 30", "1030 WaitForSingleObject event 30"}},
    // The long click without a high-resolution timer: the resolution is raised
    // while connected, so Sleep is exact.
    {"flag refused: the long click sleeps",
     2,
     {{0, up}, {1000, down}},
     true,
     {},
     2100,
     "1000:0 1800:16 2050:0",
     {}},
    // Neither wait works: Sleep keeps every pause, and the stop comes at the end of
    // the pause it fell into.
    {"every wait fails",
     0,
     {{0, up}},
     false,
     {{.call = "WaitForMultipleObjects"}, {.call = "WaitForSingleObject"}},
     1040,
     "1000:0",
     {"0 CreateWaitableTimerExW 2", "0 SetWaitableTimer 1000", "0 WaitForMultipleObjects failed",
      "0 WaitForSingleObject failed 1000", "0 Sleep 1000", "1000 SetWaitableTimer 30",
      "1000 WaitForMultipleObjects failed", "1000 WaitForSingleObject failed 30", "1000 Sleep 30",
      "1030 SetWaitableTimer 30", "1030 WaitForMultipleObjects failed",
      "1030 WaitForSingleObject failed 30", "1030 Sleep 30"}},
};

TEST_P(PauseTimerTest, PausesWaitOnTheTimerAndTheStopEventOrRaiseTheResolution) {
    const TimingCase& c = GetParam();
    sim::InstallCaptureLibrary();
    sim::AddHidDevice(VirtualJoystick());
    sim::SetButtonTimeline(c.button);
    sim::RefuseHighResolutionTimers(c.refuseHighResolution);
    for (const world::Fault& fault : c.faults) {
        sim::AddFault(fault);
    }
    RunWorker(c.mode, 30, 100, c.stopAt);
    sim::Advance(500);
    EXPECT_EQ(c.reports, ReportTimeline().substr(0, c.reports.size()));
    std::vector<std::string> timing = TimingCalls();
    if (!c.timing.empty()) {
        // Compared line by line: the lists are too long for one message.
        for (size_t i = 0; i < std::max(c.timing.size(), timing.size()); ++i) {
            EXPECT_EQ(i < c.timing.size() ? c.timing[i] : "(none)",
                      i < timing.size() ? timing[i] : "(none)")
                << "timing call " << i;
        }
    }
    // Every timer closed, every raise lowered.
    EXPECT_EQ(sim::Resources{}, sim::Held());
    EXPECT_EQ(nullptr, workerPauseTimer.load());
    if (c.refuseHighResolution) {
        const std::vector<sim::Call> raises = sim::CallsNamed("timeBeginPeriod");
        if (c.faults.empty() && c.mode == 2) {
            // The long click after the raise, before the lowering.
            const std::vector<sim::Call> sleeps = sim::CallsNamed("Sleep");
            ASSERT_EQ(1u, sleeps.size());
            EXPECT_EQ((std::vector<int64_t>{250}), sleeps[0].values.numbers);
            EXPECT_EQ(1800u, sleeps[0].time);
            ASSERT_EQ(1u, raises.size());
            EXPECT_EQ(1000u, raises[0].time);
            EXPECT_EQ(2100u, sim::CallsNamed("timeEndPeriod").at(0).time);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Pauses, PauseTimerTest, ::testing::ValuesIn(timingCases),
                         NamedBy<&TimingCase::what>());

// A stop during a long pause ends it at once, whichever pause it is.
struct StopCase {
    const char* what;
    int32_t mode;
    int32_t pollMs;
    int32_t pulseMs;
    bool refuseHighResolution;
};
PRINTED_BY_TEST_NAME(StopCase)

class PauseStopTest : public ProductTestWithParam<StopCase> {};

const StopCase stopCases[] = {
    {"a 10 s poll pause", 0, 10000, 100, false},
    {"a 10 s click", 1, 30, 10000, false},
    {"a 10 s poll pause, flag refused", 0, 10000, 100, true},
};

TEST_P(PauseStopTest, AStopDuringAPauseEndsItAtOnce) {
    const StopCase& c = GetParam();
    sim::InstallCaptureLibrary();
    sim::AddHidDevice(VirtualJoystick());
    sim::SetButtonTimeline({{0, down}});
    sim::RefuseHighResolutionTimers(c.refuseHighResolution);
    RunWorker(c.mode, c.pollMs, c.pulseMs, 4321);
    EXPECT_EQ(4321u, sim::Now());
    EXPECT_EQ(4321u, sim::CallsNamed("FreeLibrary").at(0).time);
    EXPECT_EQ(sim::Resources{}, sim::Held());
}

INSTANTIATE_TEST_SUITE_P(Stops, PauseStopTest, ::testing::ValuesIn(stopCases),
                         NamedBy<&StopCase::what>());

} // namespace
