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
};

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
            startAddress(parameter);
            std::lock_guard<std::mutex> done(sim::detail::Lock());
            thread->signalled = true;
            --sim::running;
            sim::waitableChanged.notify_all();
        });
        sim::threads.push_back(thread);
        handle = sim::detail::NewHandleLocked(
            sim::detail::HandleEntry{sim::detail::HandleKind::Thread, 0, 0, thread});
        if (threadId != nullptr) {
            *threadId = static_cast<DWORD>(sim::threads.size());
        }
    }
    sim::detail::LogCallLocked("CreateThread",
                               {.result = sim::detail::HandleNumber(handle),
                                .numbers = {static_cast<int64_t>(stackSize), creationFlags}},
                               "stack=%zu flags=0x%x -> %s", stackSize, creationFlags,
                               handle ? "thread" : "NULL");
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
    sim::detail::LogCallLocked(
        "CreateEventA",
        {.result = sim::detail::HandleNumber(handle),
         .numbers = {manualReset, initialState},
         .pointers = {sim::detail::PointerOf(security), sim::detail::PointerOf(name)}},
        "%p manual=%d initial=%d %s -> %s", static_cast<void*>(security), manualReset, initialState,
        name ? name : "NULL", handle ? "event" : "NULL");
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
    sim::detail::LogCallLocked(
        "SetEvent", {.result = set, .numbers = {sim::detail::HandleNumber(event)}}, "-> %d", set);
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
                                   {.result = WAIT_FAILED, .numbers = {milliseconds}},
                                   "%u -> WAIT_FAILED", milliseconds);
        return WAIT_FAILED;
    }
    // Logged as the wait begins, before its result is known: the object's kind
    // and the time.
    const char* kind = entry->kind == sim::detail::HandleKind::Event ? "event" : "thread";
    sim::detail::LogCallLocked("WaitForSingleObject",
                               {.numbers = {milliseconds}, .strings = {kind}}, "%s %u", kind,
                               milliseconds);
    // The object outlives a CloseHandle made while this wait goes on.
    std::shared_ptr<sim::Waitable> object = std::static_pointer_cast<sim::Waitable>(entry->object);
    auto signalled = [&object] { return object->signalled; };
    bool done = true;
    if (milliseconds == INFINITE) {
        sim::waitableChanged.wait(lock, signalled);
    } else if (!sim::detail::RealTimeLocked()) {
        // A timed wait lets virtual time pass like Sleep, and ends at the timer
        // that signals the object.
        done = sim::detail::AdvanceUntilLocked(lock, milliseconds, signalled);
    } else {
        done =
            sim::waitableChanged.wait_for(lock, sim::detail::RealDuration(milliseconds), signalled);
    }
    if (done && !object->manualReset) {
        object->signalled = false;
    }
    return done ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
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
namespace {

// Thread ids as GetCurrentThreadId hands them out: one per thread that asked, from
// 0x100 on, so that they are not mistaken for the handle numbers of the log.
std::map<std::thread::id, DWORD> threadIds;

} // namespace

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
    sim::detail::LogCallLocked("OpenThread",
                               {.result = sim::detail::HandleNumber(handle),
                                .numbers = {desiredAccess, inheritHandle, threadId}},
                               "access=0x%x inherit=%d id=0x%x -> %s", desiredAccess, inheritHandle,
                               threadId, handle ? "thread" : "NULL");
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
        {.result = cancelled, .numbers = {sim::detail::HandleNumber(thread)}}, "%p -> %d", thread,
        cancelled);
    return cancelled;
}
