// The clock and the multimedia timers.
//
// In virtual mode time moves only when a thread sleeps (Sleep, or sim::Advance for
// the test itself). A one-shot timer whose due time is passed runs on the sleeping
// thread at exactly its due time, before the sleep goes on; that serialises the
// timer thread with the worker, which keeps every report sequence and its timing
// repeatable.
//
// In real-time mode sleeps really sleep (scaled) and each timer waits on a thread
// of its own, as the system's timer thread would run it.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <thread>
#include <vector>

#include "sim/state.h"

namespace sim {
namespace {

using SteadyClock = std::chrono::steady_clock;

struct Timer {
    UINT key; // unique per timer, for the simulation's own bookkeeping
    UINT id;  // as the product sees it: with repeating ids, not unique over time
    uint64_t due;
    std::function<void()> action;
    bool multimedia; // set by timeSetEvent rather than by the test
};

uint64_t now = 0;
std::vector<Timer> timers;
UINT nextTimerId = 1;
UINT nextTimerKey = 1;
bool repeatTimerIds = false;
int callbacksDone = 0;
// The periods of timeBeginPeriod calls not yet ended by timeEndPeriod.
std::vector<UINT> timerPeriods;

bool realTime = false;
double realPerVirtual = 1.0;
SteadyClock::time_point epoch;
std::condition_variable timerChanged;
// Timer threads are detached so that thousands of them cost nothing once done;
// a reset waits until none is left.
int timerThreadsRunning = 0;

uint64_t NowMs() {
    if (!realTime) {
        return now;
    }
    std::chrono::duration<double, std::milli> elapsed = SteadyClock::now() - epoch;
    return static_cast<uint64_t>(elapsed.count() / realPerVirtual);
}

SteadyClock::time_point RealTimeOf(uint64_t virtualMs) {
    auto offset = std::chrono::duration<double, std::milli>(virtualMs * realPerVirtual);
    return epoch + std::chrono::duration_cast<SteadyClock::duration>(offset);
}

// Takes a due timer off the list and runs it with the lock released.
void Fire(std::unique_lock<std::mutex>& lock, std::vector<Timer>::iterator due) {
    Timer timer = std::move(*due);
    timers.erase(due);
    if (timer.multimedia) {
        detail::LogCallLocked("(timer fires)", {.numbers = {timer.id}});
    }
    lock.unlock();
    if (timer.multimedia) {
        detail::Checkpoint("(timer fires)");
    }
    timer.action();
    lock.lock();
    if (timer.multimedia) {
        ++callbacksDone;
        timerChanged.notify_all();
    }
}

// Virtual mode: runs the timers due up to target, earliest first, then stops the
// clock at target (or later, if a callback slept past it). A wait ends early, at the
// time of the timer after which done() holds.
bool AdvanceTo(std::unique_lock<std::mutex>& lock, uint64_t target,
               const std::function<bool()>& done = nullptr) {
    for (;;) {
        if (done && done()) {
            return true;
        }
        auto next =
            std::min_element(timers.begin(), timers.end(), [](const Timer& a, const Timer& b) {
                return a.due != b.due ? a.due < b.due : a.key < b.key;
            });
        const bool timerDue = next != timers.end() && next->due <= target;
        // Taking turns, the clock moves on once every other thread waits for a later time.
        if (detail::TurnsLocked() &&
            detail::OtherThreadFirstLocked(timerDue ? next->due : target)) {
            detail::WaitForTurnLocked(lock, done, target);
            continue;
        }
        if (!timerDue) {
            break;
        }
        now = std::max(now, next->due);
        Fire(lock, next);
    }
    now = std::max(now, target);
    return done && done();
}

// Real-time mode: one thread per timer waits for its due time unless the timer is
// killed first.
void RunRealTimer(UINT key) {
    std::unique_lock<std::mutex> lock(detail::Lock());
    for (;;) {
        auto timer = std::find_if(timers.begin(), timers.end(),
                                  [key](const Timer& t) { return t.key == key; });
        if (timer == timers.end()) {
            break;
        }
        SteadyClock::time_point due = RealTimeOf(timer->due);
        if (SteadyClock::now() >= due) {
            Fire(lock, timer);
            break;
        }
        timerChanged.wait_until(lock, due);
    }
    --timerThreadsRunning;
    timerChanged.notify_all();
}

// The id timeSetEvent hands out: counting up, or, with repeating ids, the lowest
// one no pending timer has (what older Wine did: every press got id 1).
UINT NextMultimediaIdLocked() {
    if (!repeatTimerIds) {
        return nextTimerId;
    }
    UINT id = 1;
    while (std::any_of(timers.begin(), timers.end(),
                       [id](const Timer& t) { return t.multimedia && t.id == id; })) {
        ++id;
    }
    return id;
}

void AddTimerLocked(UINT id, uint32_t delay, std::function<void()> action, bool multimedia) {
    UINT key = nextTimerKey++;
    if (id == nextTimerId) {
        ++nextTimerId;
    }
    timers.push_back(Timer{key, id, NowMs() + delay, std::move(action), multimedia});
    if (realTime) {
        ++timerThreadsRunning;
        std::thread(RunRealTimer, key).detach();
    }
}

} // namespace

namespace detail {

uint32_t NowLocked() {
    return static_cast<uint32_t>(NowMs());
}

bool AdvanceUntilLocked(std::unique_lock<std::mutex>& lock, uint32_t milliseconds,
                        const std::function<bool()>& done) {
    return AdvanceTo(lock, now + milliseconds, done);
}

void PassTimeLocked(std::unique_lock<std::mutex>& lock, uint32_t milliseconds) {
    if (realTime) {
        const std::chrono::nanoseconds length = RealDuration(milliseconds);
        lock.unlock();
        std::this_thread::sleep_for(length);
        lock.lock();
        return;
    }
    AdvanceTo(lock, now + milliseconds);
}

bool RealTimeLocked() {
    return realTime;
}

void ResetClockLocked() {
    now = 0;
    timers.clear();
    nextTimerId = 1;
    nextTimerKey = 1;
    repeatTimerIds = false;
    callbacksDone = 0;
    realTime = false;
    realPerVirtual = 1.0;
    timerPeriods.clear();
}

int TimerPeriodsLocked() {
    return static_cast<int>(timerPeriods.size());
}

std::chrono::nanoseconds RealDuration(uint32_t milliseconds) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::duration<double, std::milli>(milliseconds * realPerVirtual));
}

void JoinTimerThreads() {
    std::unique_lock<std::mutex> lock(Lock());
    timers.clear();
    timerChanged.notify_all();
    timerChanged.wait(lock, [] { return timerThreadsRunning == 0; });
}

} // namespace detail

void UseRealTime(double scale) {
    std::lock_guard<std::mutex> guard(detail::Lock());
    realPerVirtual = scale;
    epoch = SteadyClock::now() - std::chrono::duration_cast<SteadyClock::duration>(
                                     std::chrono::duration<double, std::milli>(now * scale));
    realTime = true;
}

uint32_t Now() {
    std::lock_guard<std::mutex> guard(detail::Lock());
    return detail::NowLocked();
}

void Advance(uint32_t milliseconds) {
    std::unique_lock<std::mutex> lock(detail::Lock());
    if (realTime) {
        lock.unlock();
        std::this_thread::sleep_for(detail::RealDuration(milliseconds));
        return;
    }
    AdvanceTo(lock, now + milliseconds);
}

void At(uint32_t time, std::function<void()> action) {
    std::lock_guard<std::mutex> guard(detail::Lock());
    uint64_t current = NowMs();
    AddTimerLocked(nextTimerId, time > current ? static_cast<uint32_t>(time - current) : 0,
                   std::move(action), false);
}

void WaitForTimers() {
    std::unique_lock<std::mutex> lock(detail::Lock());
    timerChanged.wait(lock, [] { return timerThreadsRunning == 0; });
}

void RepeatTimerIds(bool repeat) {
    std::lock_guard<std::mutex> guard(detail::Lock());
    repeatTimerIds = repeat;
}

bool WaitForCallbacksDone(int count, uint32_t realTimeoutMs) {
    std::unique_lock<std::mutex> lock(detail::Lock());
    return timerChanged.wait_for(lock, std::chrono::milliseconds(realTimeoutMs),
                                 [count] { return callbacksDone >= count; });
}

size_t PendingTimers() {
    std::lock_guard<std::mutex> guard(detail::Lock());
    return static_cast<size_t>(
        std::count_if(timers.begin(), timers.end(), [](const Timer& t) { return t.multimedia; }));
}

} // namespace sim

BOOL QueryPerformanceCounter(LARGE_INTEGER* count) {
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    count->QuadPart = static_cast<int64_t>(sim::detail::NowLocked()) * 10000;
    return TRUE;
}

BOOL QueryPerformanceFrequency(LARGE_INTEGER* frequency) {
    frequency->QuadPart = 10000000;
    return TRUE;
}

void Sleep(DWORD milliseconds) {
    std::unique_lock<std::mutex> lock(sim::detail::Lock());
    sim::detail::LogCallLocked("Sleep", {.numbers = {milliseconds}});
    sim::detail::PassTimeLocked(lock, milliseconds);
}

DWORD GetTickCount() {
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    return sim::detail::NowLocked();
}

MMRESULT timeSetEvent(UINT delay, UINT resolution, LPTIMECALLBACK callback, DWORD_PTR user,
                      UINT flags) {
    UINT id = 0;
    {
        std::lock_guard<std::mutex> guard(sim::detail::Lock());
        // A refused timer is id 0; the call sets no last error.
        if (!sim::detail::FailLocked("timeSetEvent", 0, 0).fails) {
            id = sim::NextMultimediaIdLocked();
            sim::AddTimerLocked(
                id, delay, [id, callback, user] { callback(id, 0, user, 0, 0); }, true);
        }
        sim::detail::LogCallLocked(
            "timeSetEvent",
            {.result = id,
             .numbers = {delay, resolution, static_cast<int64_t>(user), flags},
             .pointers = {sim::detail::PointerOf(reinterpret_cast<const void*>(callback))}});
    }
    // The timer runs from here on; its caller does not know its id yet.
    sim::detail::Checkpoint("timeSetEvent");
    return id;
}

// A one-shot timer is gone once it has fired, so killing it then fails as it does on
// Windows.
MMRESULT timeKillEvent(UINT timerId) {
    sim::detail::Checkpoint("timeKillEvent");
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    auto it = std::find_if(sim::timers.begin(), sim::timers.end(), [timerId](const sim::Timer& t) {
        return t.id == timerId && t.multimedia;
    });
    MMRESULT result = MMSYSERR_INVALPARAM;
    // A refused kill leaves the timer set.
    if (const auto failure = sim::detail::FailLocked("timeKillEvent", MMSYSERR_INVALPARAM, 0);
        failure.fails) {
        result = static_cast<MMRESULT>(failure.result);
    } else if (it != sim::timers.end()) {
        sim::timers.erase(it);
        sim::timerChanged.notify_all();
        result = MMSYSERR_NOERROR;
    }
    sim::detail::LogCallLocked("timeKillEvent", {.result = result, .numbers = {timerId}});
    return result;
}

// The timer resolution a program asks for changes nothing on the virtual clock,
// which is exact to the millisecond; what counts is that each request is ended.
// A period below 1 ms, and an end without its begin, fail with TIMERR_NOCANDO as
// on Windows; a fault rule fails either with its result (TIMERR_NOCANDO when unset).
MMRESULT timeBeginPeriod(UINT period) {
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    MMRESULT result = TIMERR_NOERROR;
    if (const auto failure = sim::detail::FailLocked("timeBeginPeriod", TIMERR_NOCANDO, 0);
        failure.fails) {
        result = static_cast<MMRESULT>(failure.result);
    } else if (period < 1) {
        result = TIMERR_NOCANDO;
    } else {
        sim::timerPeriods.push_back(period);
    }
    sim::detail::LogCallLocked("timeBeginPeriod", {.result = result, .numbers = {period}});
    return result;
}

MMRESULT timeEndPeriod(UINT period) {
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    MMRESULT result = TIMERR_NOERROR;
    auto begun = std::find(sim::timerPeriods.begin(), sim::timerPeriods.end(), period);
    if (const auto failure = sim::detail::FailLocked("timeEndPeriod", TIMERR_NOCANDO, 0);
        failure.fails) {
        result = static_cast<MMRESULT>(failure.result);
    } else if (begun == sim::timerPeriods.end()) {
        result = TIMERR_NOCANDO;
    } else {
        sim::timerPeriods.erase(begun);
    }
    sim::detail::LogCallLocked("timeEndPeriod", {.result = result, .numbers = {period}});
    return result;
}
