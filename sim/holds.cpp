// Holding a thread at a platform call. A test names a call and which of its next
// calls to stop; the thread that makes that call waits there, before the call takes
// effect, until the test lets it go. That replays one interleaving of the product's
// threads exactly, where a stress run could only hope to hit it.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <map>
#include <thread>

#include "sim/state.h"

namespace sim {
namespace {

struct Hold {
    int id;
    std::string call;
    int callsLeft;
    bool reached;
    bool released;
};

std::vector<std::shared_ptr<Hold>> holds;
int nextHoldId = 1;
std::condition_variable holdChanged;
// Checked before the lock, so that calls cost nothing while no hold is set.
std::atomic<int> holdsSet{0};

std::shared_ptr<Hold> FindLocked(int id) {
    auto found = std::find_if(holds.begin(), holds.end(),
                              [id](const std::shared_ptr<Hold>& hold) { return hold->id == id; });
    return found == holds.end() ? nullptr : *found;
}

} // namespace

namespace detail {

// Threads waiting in a synchronous I/O call, and whether it was cancelled.
std::map<DWORD, bool> pendingIo;

// Holds the thread at the call when a hold names it; true when it was let go,
// false when its I/O was cancelled (io only).
bool HoldHere(const char* call, bool io) {
    if (holdsSet.load() == 0) {
        return true;
    }
    std::unique_lock<std::mutex> lock(Lock());
    for (const std::shared_ptr<Hold>& hold : holds) {
        if (hold->reached || hold->call != call || --hold->callsLeft > 0) {
            continue;
        }
        hold->reached = true;
        LogCallLocked("(held)", {.strings = {call}});
        holdChanged.notify_all();
        std::shared_ptr<Hold> held = hold;
        const DWORD thread = CurrentThreadIdLocked();
        if (io) {
            pendingIo[thread] = false;
        }
        holdChanged.wait(
            lock, [&held, io, thread] { return held->released || (io && pendingIo[thread]); });
        bool cancelled = io && pendingIo[thread];
        pendingIo.erase(thread);
        return !cancelled;
    }
    return true;
}

void Checkpoint(const char* call) {
    HoldHere(call, false);
}

bool IoCheckpoint(const char* call) {
    return HoldHere(call, true);
}

bool CancelIoLocked(DWORD threadId) {
    auto pending = pendingIo.find(threadId);
    if (pending == pendingIo.end()) {
        return false;
    }
    pending->second = true;
    holdChanged.notify_all();
    return true;
}

void ReleaseHolds() {
    std::lock_guard<std::mutex> guard(Lock());
    for (const std::shared_ptr<Hold>& hold : holds) {
        hold->released = true;
    }
    holds.clear();
    holdsSet.store(0);
    holdChanged.notify_all();
}

} // namespace detail

int HoldAt(std::string call, int nth) {
    std::lock_guard<std::mutex> guard(detail::Lock());
    holds.push_back(std::make_shared<Hold>(Hold{nextHoldId, std::move(call), nth, false, false}));
    holdsSet.store(1);
    return nextHoldId++;
}

bool WaitUntilHeld(int hold, uint32_t realTimeoutMs) {
    std::unique_lock<std::mutex> lock(detail::Lock());
    std::shared_ptr<Hold> found = FindLocked(hold);
    return found != nullptr && holdChanged.wait_for(lock, std::chrono::milliseconds(realTimeoutMs),
                                                    [&found] { return found->reached; });
}

bool Held(int hold) {
    std::lock_guard<std::mutex> guard(detail::Lock());
    std::shared_ptr<Hold> found = FindLocked(hold);
    return found != nullptr && found->reached && !found->released;
}

void ReleaseHold(int hold) {
    std::lock_guard<std::mutex> guard(detail::Lock());
    if (std::shared_ptr<Hold> found = FindLocked(hold)) {
        found->released = true;
        holdChanged.notify_all();
    }
}

} // namespace sim
