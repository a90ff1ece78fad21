// Turns on the virtual clock: the service's threads (the dispatcher, ServiceMain,
// the worker) run one at a time, as a discrete-event simulation runs them, so that
// a run with all of them is as repeatable as a run of the worker alone. A thread
// that waits hands the turn to the first waiting thread that can go on at the
// current time or, when none can, to the one whose wait ends first: that one moves
// the clock.
#include <algorithm>
#include <condition_variable>
#include <thread>
#include <vector>

#include "sim/state.h"

namespace sim {
namespace {

struct Waiting {
    std::thread::id thread;
    std::function<bool()> ready; // the thread can go on now (null: only by time)
    uint64_t wake;               // when its wait ends by time (UINT64_MAX: never)
    uint64_t order;              // who waited first goes first
};

bool turns = false;
std::thread::id running;
std::vector<Waiting> waiting;
uint64_t nextOrder = 0;
std::condition_variable turnChanged;

bool CanGoOn(const Waiting& w) {
    return w.ready && w.ready();
}

void PassTurnLocked() {
    const Waiting* next = nullptr;
    for (const Waiting& w : waiting) {
        if (CanGoOn(w) && (next == nullptr || w.order < next->order)) {
            next = &w;
        }
    }
    const bool ready = next != nullptr;
    // None can go on now: the earliest wake (waits of the same end in turn).
    for (const Waiting& w : waiting) {
        if (!ready && w.wake != UINT64_MAX &&
            (next == nullptr || w.wake < next->wake ||
             (w.wake == next->wake && w.order < next->order))) {
            next = &w;
        }
    }
    running = next != nullptr ? next->thread : std::thread::id();
    turnChanged.notify_all();
}

void EraseWaitingLocked(std::thread::id thread) {
    std::erase_if(waiting, [thread](const Waiting& w) { return w.thread == thread; });
}

} // namespace

namespace detail {

bool TurnsLocked() {
    return turns;
}

void AddThreadToTurnsLocked(std::thread::id thread) {
    if (turns) {
        waiting.push_back(Waiting{thread, [] { return true; }, UINT64_MAX, nextOrder++});
    }
}

void WaitForFirstTurnLocked(std::unique_lock<std::mutex>& lock) {
    const std::thread::id me = std::this_thread::get_id();
    turnChanged.wait(lock, [me] { return !turns || running == me; });
    EraseWaitingLocked(me);
}

void WaitForTurnLocked(std::unique_lock<std::mutex>& lock, std::function<bool()> ready,
                       uint64_t wake) {
    const std::thread::id me = std::this_thread::get_id();
    waiting.push_back(Waiting{me, std::move(ready), wake, nextOrder++});
    if (running == me || running == std::thread::id()) {
        PassTurnLocked();
    }
    WaitForFirstTurnLocked(lock);
}

bool OtherThreadFirstLocked(uint64_t time) {
    const std::thread::id me = std::this_thread::get_id();
    return std::any_of(waiting.begin(), waiting.end(), [me, time](const Waiting& w) {
        return w.thread != me && (CanGoOn(w) || w.wake < time);
    });
}

void LeaveTurnsLocked() {
    if (turns && running == std::this_thread::get_id()) {
        PassTurnLocked();
    }
}

void ResetTurnsLocked() {
    turns = false;
    running = std::thread::id();
    waiting.clear();
    turnChanged.notify_all();
}

} // namespace detail

void TakeTurns(bool on) {
    std::lock_guard<std::mutex> guard(detail::Lock());
    turns = on;
    running = on ? std::this_thread::get_id() : std::thread::id();
    turnChanged.notify_all();
}

} // namespace sim
