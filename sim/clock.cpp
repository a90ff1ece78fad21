// The virtual clock and the multimedia timers.
//
// Time moves only when a thread sleeps (Sleep, or sim::Advance for the test
// itself). A one-shot timer whose due time is passed runs on the sleeping thread at
// exactly its due time, before the sleep goes on; that serialises the timer thread
// with the worker, which keeps every report sequence and its timing repeatable.
#include <algorithm>
#include <vector>

#include "sim/state.h"

namespace sim {
namespace {

struct Timer {
    UINT id;
    uint64_t due;
    LPTIMECALLBACK callback;
    DWORD_PTR user;
};

uint64_t now = 0;
std::vector<Timer> timers;
UINT nextTimerId = 1;

// Runs the timers due up to target, earliest first, then stops the clock at target
// (or later, if a callback slept past it).
void AdvanceTo(std::unique_lock<std::mutex>& lock, uint64_t target) {
    for (;;) {
        auto next =
            std::min_element(timers.begin(), timers.end(), [](const Timer& a, const Timer& b) {
                return a.due != b.due ? a.due < b.due : a.id < b.id;
            });
        if (next == timers.end() || next->due > target) {
            break;
        }
        Timer timer = *next;
        timers.erase(next);
        now = std::max(now, timer.due);
        detail::LogLocked("(timer fires)", "id=%u", timer.id);
        lock.unlock();
        timer.callback(timer.id, 0, timer.user, 0, 0);
        lock.lock();
    }
    now = std::max(now, target);
}

} // namespace

namespace detail {

uint32_t NowLocked() {
    return static_cast<uint32_t>(now);
}

void ResetClockLocked() {
    now = 0;
    timers.clear();
    nextTimerId = 1;
}

} // namespace detail

uint32_t Now() {
    std::lock_guard<std::mutex> guard(detail::Lock());
    return detail::NowLocked();
}

void Advance(uint32_t milliseconds) {
    std::unique_lock<std::mutex> lock(detail::Lock());
    AdvanceTo(lock, now + milliseconds);
}

size_t PendingTimers() {
    std::lock_guard<std::mutex> guard(detail::Lock());
    return timers.size();
}

} // namespace sim

void Sleep(DWORD milliseconds) {
    std::unique_lock<std::mutex> lock(sim::detail::Lock());
    sim::detail::LogLocked("Sleep", "%u", milliseconds);
    sim::AdvanceTo(lock, sim::now + milliseconds);
}

MMRESULT timeSetEvent(UINT delay, UINT resolution, LPTIMECALLBACK callback, DWORD_PTR user,
                      UINT flags) {
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    UINT id = sim::nextTimerId++;
    sim::timers.push_back(sim::Timer{id, sim::now + delay, callback, user});
    sim::detail::LogLocked("timeSetEvent", "delay=%u resolution=%u user=%lu flags=0x%x -> %u",
                           delay, resolution, static_cast<unsigned long>(user), flags, id);
    return id;
}

// A one-shot timer is gone once it has fired, so killing it then fails as it does on
// Windows.
MMRESULT timeKillEvent(UINT timerId) {
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    auto it = std::find_if(sim::timers.begin(), sim::timers.end(),
                           [timerId](const sim::Timer& timer) { return timer.id == timerId; });
    MMRESULT result = MMSYSERR_INVALPARAM;
    if (it != sim::timers.end()) {
        sim::timers.erase(it);
        result = MMSYSERR_NOERROR;
    }
    sim::detail::LogLocked("timeKillEvent", "%u -> %u", timerId, result);
    return result;
}
