// Threads and events with real blocking, so that the service's threads really run
// side by side in the tests that need them.
#include <algorithm>
#include <condition_variable>
#include <map>
#include <thread>
#include <vector>

#include "sim/state.h"

namespace sim {
namespace {

struct Waitable {
    bool signalled;
    bool manualReset;
    // A waitable timer: set with its due time (virtual ms), signalled once that
    // time has come.
    bool timer = false;
    bool set = false;
    uint64_t due = 0;
};

// A set timer whose due time has come is signalled (and no longer set).
bool Signalled(Waitable& object) {
    if (object.timer && object.set && detail::NowLocked() >= object.due) {
        object.set = false;
        object.signalled = true;
    }
    return object.signalled;
}

// A satisfied wait resets an auto-reset event and a synchronization timer.
void Satisfy(Waitable& object) {
    if (!object.manualReset) {
        object.signalled = false;
    }
}

bool refuseHighResolution = false;

// Thread ids as GetCurrentThreadId hands them out: one per thread that asked, from
// 0x100 on, so that they are not mistaken for the handle numbers of the log. A
// reset numbers afresh, so that a run names its threads as the run before did.
std::map<std::thread::id, DWORD> threadIds;

struct SimThread : Waitable {
    std::thread thread;
    // A program that never resets the simulation (one that uses only the Windows
    // names) leaves its ended threads here until the process exits.
    ~SimThread() {
        if (thread.joinable()) {
            if (thread.get_id() == std::this_thread::get_id()) {
                thread.detach();
            } else {
                thread.join();
            }
        }
    }
};

std::condition_variable waitableChanged;

// The index of the first signalled object, or -1; with eventsOnly, timers do not
// count (their due time is the end of the wait instead).
int FirstSignalled(const std::vector<std::shared_ptr<Waitable>>& objects, bool eventsOnly) {
    for (size_t i = 0; i < objects.size(); ++i) {
        if ((!eventsOnly || !objects[i]->timer) && Signalled(*objects[i])) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

// Waits until one of the objects is signalled (its index) or the time is up
// (WAIT_TIMEOUT). On the virtual clock a wait lets time pass like Sleep up to its
// timeout or the first due time of its timers, whichever comes first, and ends
// early at the clock timer after which an event is signalled: so a pause on a
// timer runs the same clock timers at the same times as a Sleep of its length.
DWORD WaitAnyLocked(std::unique_lock<std::mutex>& lock,
                    const std::vector<std::shared_ptr<Waitable>>& objects, DWORD milliseconds) {
    const uint64_t start = detail::NowLocked();
    const bool forever = milliseconds == INFINITE;
    for (;;) {
        const uint64_t now = detail::NowLocked();
        int first = FirstSignalled(objects, false);
        if (first >= 0) {
            Satisfy(*objects[static_cast<size_t>(first)]);
            return WAIT_OBJECT_0 + static_cast<DWORD>(first);
        }
        if (!forever && now >= start + milliseconds) {
            return WAIT_TIMEOUT;
        }
        uint64_t end = forever ? UINT64_MAX : start + milliseconds;
        for (const std::shared_ptr<Waitable>& object : objects) {
            if (object->timer && object->set) {
                end = std::min(end, object->due);
            }
        }
        auto eventSignalled = [&objects] { return FirstSignalled(objects, true) >= 0; };
        if (end == UINT64_MAX && detail::TurnsLocked()) {
            detail::WaitForTurnLocked(
                lock, [&objects] { return FirstSignalled(objects, false) >= 0; }, end);
        } else if (end == UINT64_MAX) {
            waitableChanged.wait(lock);
        } else if (!detail::RealTimeLocked()) {
            detail::AdvanceUntilLocked(lock, static_cast<uint32_t>(end - now), eventSignalled);
        } else {
            waitableChanged.wait_for(lock, detail::RealDuration(static_cast<uint32_t>(end - now)));
        }
    }
}

// The product's locks and condition variables are static objects; each gets a real
// one here on first use. They stay out of the call log: taking a lock is not an
// outside effect a test asserts on.
std::mutex syncTableLock;
std::map<const void*, std::unique_ptr<std::mutex>> srwLocks;
std::map<const void*, std::unique_ptr<std::condition_variable_any>> conditions;

template <typename Object>
Object& SyncObject(std::map<const void*, std::unique_ptr<Object>>& table, const void* address) {
    std::lock_guard<std::mutex> guard(syncTableLock);
    std::unique_ptr<Object>& object = table[address];
    if (!object) {
        object = std::make_unique<Object>();
    }
    return *object;
}
std::vector<std::shared_ptr<SimThread>> threads;
int running = 0;

} // namespace

namespace detail {

void JoinThreads() {
    std::vector<std::shared_ptr<SimThread>> started;
    {
        std::lock_guard<std::mutex> guard(Lock());
        started.swap(threads);
    }
    for (std::shared_ptr<SimThread>& thread : started) {
        thread->thread.join();
    }
}

} // namespace detail

int RunningThreads() {
    std::lock_guard<std::mutex> guard(detail::Lock());
    return running;
}

} // namespace sim

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T stackSize, LPTHREAD_START_ROUTINE startAddress,
                    LPVOID parameter, DWORD creationFlags, LPDWORD threadId) {
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    HANDLE handle = nullptr;
    if (DWORD error = sim::detail::FailureLocked("CreateThread", ERROR_NOT_ENOUGH_MEMORY)) {
        SetLastError(error);
    } else {
        auto thread = std::make_shared<sim::SimThread>();
        thread->manualReset = true;
        thread->signalled = false;
        ++sim::running;
        thread->thread = std::thread([thread, startAddress, parameter] {
            {
                std::unique_lock<std::mutex> lock(sim::detail::Lock());
                sim::detail::WaitForFirstTurnLocked(lock);
            }
            startAddress(parameter);
            std::lock_guard<std::mutex> done(sim::detail::Lock());
            thread->signalled = true;
            --sim::running;
            sim::waitableChanged.notify_all();
            sim::detail::LeaveTurnsLocked();
        });
        sim::detail::AddThreadToTurnsLocked(thread->thread.get_id());
        sim::threads.push_back(thread);
        handle = sim::detail::NewHandleLocked(
            sim::detail::HandleEntry{sim::detail::HandleKind::Thread, 0, 0, thread});
        if (threadId != nullptr) {
            *threadId = static_cast<DWORD>(sim::threads.size());
        }
    }
    sim::detail::LogCallLocked("CreateThread",
                               {.result = sim::detail::HandleNumber(handle),
                                .numbers = {static_cast<int64_t>(stackSize), creationFlags}});
    return handle;
}

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES security, BOOL manualReset, BOOL initialState,
                    LPCSTR name) {
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    HANDLE handle = nullptr;
    if (DWORD error = sim::detail::FailureLocked("CreateEventA", ERROR_NOT_ENOUGH_MEMORY)) {
        SetLastError(error);
    } else {
        auto event =
            std::make_shared<sim::Waitable>(sim::Waitable{initialState != 0, manualReset != 0});
        handle = sim::detail::NewHandleLocked(
            sim::detail::HandleEntry{sim::detail::HandleKind::Event, 0, 0, event});
    }
    sim::detail::LogCallLocked("CreateEventA", {.result = sim::detail::HandleNumber(handle),
                                                .numbers = {manualReset, initialState},
                                                .pointers = {sim::detail::PointerOf(security),
                                                             sim::detail::PointerOf(name)}});
    return handle;
}

BOOL SetEvent(HANDLE event) {
    sim::detail::Checkpoint("SetEvent");
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    sim::detail::HandleEntry* entry = sim::detail::FindHandleLocked(event);
    BOOL set = FALSE;
    if (DWORD error = sim::detail::FailureLocked("SetEvent", ERROR_INVALID_HANDLE)) {
        SetLastError(error);
    } else if (entry != nullptr && entry->kind == sim::detail::HandleKind::Event) {
        static_cast<sim::Waitable*>(entry->object.get())->signalled = true;
        sim::waitableChanged.notify_all();
        set = TRUE;
    } else {
        SetLastError(ERROR_INVALID_HANDLE);
    }
    sim::detail::LogCallLocked("SetEvent",
                               {.result = set, .numbers = {sim::detail::HandleNumber(event)}});
    return set;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    sim::detail::Checkpoint("WaitForSingleObject");
    std::unique_lock<std::mutex> lock(sim::detail::Lock());
    sim::detail::HandleEntry* entry = sim::detail::FindHandleLocked(handle);
    DWORD error = sim::detail::FailureLocked("WaitForSingleObject", ERROR_INVALID_HANDLE);
    if (error == 0 && (entry == nullptr || entry->kind == sim::detail::HandleKind::Device)) {
        error = ERROR_INVALID_HANDLE;
    }
    if (error != 0) {
        SetLastError(error);
        sim::detail::LogCallLocked("WaitForSingleObject",
                                   {.result = WAIT_FAILED, .numbers = {milliseconds}});
        return WAIT_FAILED;
    }
    // Logged as the wait begins, before its result is known: the object's kind
    // and the time.
    const char* kind = entry->kind == sim::detail::HandleKind::Event   ? "event"
                       : entry->kind == sim::detail::HandleKind::Timer ? "timer"
                                                                       : "thread";
    sim::detail::LogCallLocked("WaitForSingleObject",
                               {.numbers = {milliseconds}, .strings = {kind}});
    // The object outlives a CloseHandle made while this wait goes on.
    std::vector<std::shared_ptr<sim::Waitable>> objects{
        std::static_pointer_cast<sim::Waitable>(entry->object)};
    return sim::WaitAnyLocked(lock, objects, milliseconds);
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds) {
    sim::detail::Checkpoint("WaitForMultipleObjects");
    std::unique_lock<std::mutex> lock(sim::detail::Lock());
    std::vector<std::shared_ptr<sim::Waitable>> objects;
    std::vector<int64_t> numbers;
    DWORD error = sim::detail::FailureLocked("WaitForMultipleObjects", ERROR_INVALID_HANDLE);
    if (error == 0 && (count == 0 || count > MAXIMUM_WAIT_OBJECTS || waitAll)) {
        // Waiting for all is not simulated: the product waits for the first.
        error = ERROR_INVALID_PARAMETER;
    }
    std::string kinds;
    for (DWORD i = 0; error == 0 && i < count; ++i) {
        sim::detail::HandleEntry* entry = sim::detail::FindHandleLocked(handles[i]);
        if (entry == nullptr || entry->kind == sim::detail::HandleKind::Device) {
            error = ERROR_INVALID_HANDLE;
            break;
        }
        objects.push_back(std::static_pointer_cast<sim::Waitable>(entry->object));
        numbers.push_back(sim::detail::HandleNumber(handles[i]));
        kinds += kinds.empty() ? "" : ",";
        kinds += entry->kind == sim::detail::HandleKind::Event   ? "event"
                 : entry->kind == sim::detail::HandleKind::Timer ? "timer"
                                                                 : "thread";
    }
    numbers.push_back(milliseconds);
    if (error != 0) {
        SetLastError(error);
        sim::detail::LogCallLocked("WaitForMultipleObjects",
                                   {.result = WAIT_FAILED, .numbers = {count, milliseconds}});
        return WAIT_FAILED;
    }
    // Logged as the wait begins: the handles, their kinds and the timeout.
    sim::detail::LogCallLocked("WaitForMultipleObjects", {.numbers = numbers, .strings = {kinds}});
    return sim::WaitAnyLocked(lock, objects, milliseconds);
}

namespace sim {

void RefuseHighResolutionTimers(bool refuse) {
    std::lock_guard<std::mutex> guard(detail::Lock());
    refuseHighResolution = refuse;
}

namespace detail {

void ResetWaitableTimersLocked() {
    refuseHighResolution = false;
    threadIds.clear();
}

} // namespace detail
} // namespace sim

HANDLE CreateWaitableTimerExW(LPSECURITY_ATTRIBUTES security, LPCWSTR name, DWORD flags,
                              DWORD access) {
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    HANDLE handle = nullptr;
    const DWORD known = CREATE_WAITABLE_TIMER_MANUAL_RESET |
                        (sim::refuseHighResolution ? 0u : CREATE_WAITABLE_TIMER_HIGH_RESOLUTION);
    if (DWORD error =
            sim::detail::FailureLocked("CreateWaitableTimerExW", ERROR_NOT_ENOUGH_MEMORY)) {
        SetLastError(error);
    } else if ((flags & ~known) != 0 || name != nullptr) {
        // Flags that this Windows does not know, and names (not simulated).
        SetLastError(ERROR_INVALID_PARAMETER);
    } else {
        auto timer = std::make_shared<sim::Waitable>(
            sim::Waitable{false, (flags & CREATE_WAITABLE_TIMER_MANUAL_RESET) != 0, true});
        handle = sim::detail::NewHandleLocked(
            sim::detail::HandleEntry{sim::detail::HandleKind::Timer, 0, 0, timer});
    }
    sim::detail::LogCallLocked(
        "CreateWaitableTimerExW",
        {.result = sim::detail::HandleNumber(handle),
         .numbers = {flags, access},
         .pointers = {sim::detail::PointerOf(security), sim::detail::PointerOf(name)}});
    return handle;
}

namespace {

sim::Waitable* TimerLocked(HANDLE handle) {
    sim::detail::HandleEntry* entry = sim::detail::FindHandleLocked(handle);
    return entry != nullptr && entry->kind == sim::detail::HandleKind::Timer
               ? static_cast<sim::Waitable*>(entry->object.get())
               : nullptr;
}

} // namespace

BOOL SetWaitableTimer(HANDLE timer, const LARGE_INTEGER* dueTime, LONG period,
                      PTIMERAPCROUTINE completion, LPVOID argument, BOOL resume) {
    sim::detail::Checkpoint("SetWaitableTimer");
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    sim::Waitable* object = TimerLocked(timer);
    BOOL set = FALSE;
    const int64_t due = dueTime != nullptr ? dueTime->QuadPart : 0;
    if (DWORD error = sim::detail::FailureLocked("SetWaitableTimer", ERROR_INVALID_HANDLE)) {
        SetLastError(error);
    } else if (object == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
    } else if (dueTime == nullptr || period != 0 || completion != nullptr) {
        // Periodic timers and completion routines are not simulated.
        SetLastError(ERROR_INVALID_PARAMETER);
    } else {
        // A relative due time (negative, in 100 ns) from now, rounded up to whole
        // milliseconds; an absolute one lies in the past of a machine without a
        // calendar clock, and is due at once. Setting the timer resets it.
        const uint64_t relativeMs = due < 0 ? static_cast<uint64_t>((-due + 9999) / 10000) : 0;
        object->signalled = false;
        object->set = true;
        object->due = sim::detail::NowLocked() + relativeMs;
        sim::waitableChanged.notify_all();
        set = TRUE;
    }
    sim::detail::LogCallLocked(
        "SetWaitableTimer",
        {.result = set,
         .numbers = {sim::detail::HandleNumber(timer), due, period, resume},
         .pointers = {sim::detail::PointerOf(reinterpret_cast<const void*>(completion)),
                      sim::detail::PointerOf(argument)}});
    return set;
}

BOOL CancelWaitableTimer(HANDLE timer) {
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    sim::Waitable* object = TimerLocked(timer);
    BOOL cancelled = FALSE;
    if (DWORD error = sim::detail::FailureLocked("CancelWaitableTimer", ERROR_INVALID_HANDLE)) {
        SetLastError(error);
    } else if (object == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
    } else {
        // A cancel stops the timer; a timer signalled already stays signalled.
        sim::Signalled(*object);
        object->set = false;
        cancelled = TRUE;
    }
    sim::detail::LogCallLocked(
        "CancelWaitableTimer",
        {.result = cancelled, .numbers = {sim::detail::HandleNumber(timer)}});
    return cancelled;
}

void AcquireSRWLockExclusive(PSRWLOCK lock) {
    sim::SyncObject(sim::srwLocks, lock).lock();
}

BOOLEAN TryAcquireSRWLockExclusive(PSRWLOCK lock) {
    return sim::SyncObject(sim::srwLocks, lock).try_lock() ? TRUE : FALSE;
}

void ReleaseSRWLockExclusive(PSRWLOCK lock) {
    sim::SyncObject(sim::srwLocks, lock).unlock();
    // After the lock is let go: a test can stop its holder right there, for another
    // thread to take the lock before the holder's next step.
    sim::detail::Checkpoint("ReleaseSRWLockExclusive");
}

BOOL SleepConditionVariableSRW(PCONDITION_VARIABLE condition, PSRWLOCK lock, DWORD milliseconds,
                               ULONG) {
    std::mutex& held = sim::SyncObject(sim::srwLocks, lock);
    std::condition_variable_any& changed = sim::SyncObject(sim::conditions, condition);
    if (milliseconds == INFINITE) {
        changed.wait(held);
        return TRUE;
    }
    std::chrono::nanoseconds length;
    {
        std::lock_guard<std::mutex> guard(sim::detail::Lock());
        length = sim::detail::RealDuration(milliseconds);
    }
    if (changed.wait_for(held, length) == std::cv_status::timeout) {
        SetLastError(ERROR_TIMEOUT);
        return FALSE;
    }
    return TRUE;
}

void WakeAllConditionVariable(PCONDITION_VARIABLE condition) {
    sim::SyncObject(sim::conditions, condition).notify_all();
}

namespace sim {
namespace detail {

DWORD CurrentThreadIdLocked() {
    auto [entry, added] = threadIds.try_emplace(std::this_thread::get_id(), 0);
    if (added) {
        entry->second = static_cast<DWORD>(0x100 + threadIds.size() - 1);
    }
    return entry->second;
}

} // namespace detail
} // namespace sim

DWORD GetCurrentThreadId() {
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    return sim::detail::CurrentThreadIdLocked();
}

HANDLE OpenThread(DWORD desiredAccess, BOOL inheritHandle, DWORD threadId) {
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    bool known = std::any_of(sim::threadIds.begin(), sim::threadIds.end(),
                             [threadId](const auto& entry) { return entry.second == threadId; });
    HANDLE handle = nullptr;
    if (!known) {
        SetLastError(ERROR_INVALID_PARAMETER);
    } else {
        sim::detail::HandleEntry entry{sim::detail::HandleKind::Thread, 0, 0, nullptr};
        entry.threadId = threadId;
        handle = sim::detail::NewHandleLocked(entry);
    }
    sim::detail::LogCallLocked("OpenThread", {.result = sim::detail::HandleNumber(handle),
                                              .numbers = {desiredAccess, inheritHandle, threadId}});
    return handle;
}

BOOL CancelSynchronousIo(HANDLE thread) {
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    const sim::detail::HandleEntry* entry = sim::detail::FindHandleLocked(thread);
    BOOL cancelled = FALSE;
    if (entry == nullptr || entry->kind != sim::detail::HandleKind::Thread) {
        SetLastError(ERROR_INVALID_HANDLE);
    } else if (entry->threadId == 0 || !sim::detail::CancelIoLocked(entry->threadId)) {
        SetLastError(ERROR_NOT_FOUND);
    } else {
        cancelled = TRUE;
    }
    sim::detail::LogCallLocked(
        "CancelSynchronousIo",
        {.result = cancelled, .numbers = {sim::detail::HandleNumber(thread)}});
    return cancelled;
}
