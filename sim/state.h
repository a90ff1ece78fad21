// Internals shared by the files of the simulation. Every piece of simulated state
// is guarded by one mutex, so the simulation can be driven from several threads;
// callbacks into the product are always made with the mutex released.
#pragma once

#include <chrono>
#include <cstdarg>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "sim/sim.h"
#include "world/faults.h"

namespace sim::detail {

std::mutex& Lock();

// Appends a call with its values at the current virtual time; its text for
// people to read is written from the values. The caller holds Lock().
void LogCallLocked(const char* name, CallValues values);

// A pointer argument as CallValues keeps it.
inline Pointer PointerOf(const void* pointer) {
    return pointer != nullptr ? Pointer::set : Pointer::null;
}
// A handle as CallValues keeps it: its number.
inline int64_t HandleNumber(HANDLE handle) {
    return static_cast<int64_t>(reinterpret_cast<intptr_t>(handle));
}

// Whether calls are being logged, for callers whose arguments cost to format;
// the caller holds Lock().
bool LoggingLocked();

// Virtual time; the caller holds Lock().
uint32_t NowLocked();
// How long a virtual duration lasts in real time (as long as it says in virtual
// mode); the caller holds Lock().
std::chrono::nanoseconds RealDuration(uint32_t milliseconds);

// Handles that CloseHandle closes; the caller holds Lock().
enum class HandleKind { Device, Event, Thread, Timer };
struct HandleEntry {
    HandleKind kind;
    int device;                   // Device: index into the device list, -1 for an
                                  // always-present joystick
    int hidInterface;             // Device: index into that device's interfaces
    std::shared_ptr<void> object; // Event, Thread: the waitable object
    DWORD threadId = 0;           // Thread from OpenThread: the thread it names
};
HANDLE NewHandleLocked(HandleEntry entry);
HandleEntry* FindHandleLocked(HANDLE handle);
int CountHandlesLocked(HandleKind kind);

// The device tree (world/hid_devices.h) and its devices; the caller holds
// Lock(). A removed device keeps its index.
using world::DeviceSlot;
world::DeviceTree& TreeLocked();
std::vector<DeviceSlot>& DevicesLocked();
// Logs the world's record of a device call (in Calls() with `values`, the
// arguments as its text, and in DeviceCallRecords()), leaves its error as the
// last error and returns its result; the caller holds Lock().
int64_t AnswerLocked(world::CallRecord record, CallValues values = {});

// Hooks that Reset runs for each part of the simulation, with Lock() held.
void ResetClockLocked();
void ResetDevicesLocked();
void ResetUserLocked();
void ResetKernelLocked();
void ResetLoaderLocked();
void ResetServiceLocked();
void ResetCaptureLocked();
void ResetFaultsLocked();
void ResetServiceDatabaseLocked();
void ResetRegistryLocked();
void ResetEventLogLocked();
void ResetWaitableTimersLocked();

world::FaultTable& FaultsLocked();
// The fault table's answer to one call of `call` made now, counting it (world/
// faults.h: whether it fails, with the rule's result or failedResult, and the
// rule's error or the one Windows documents for the call); the caller holds Lock().
inline world::FaultTable::Failure FailLocked(std::string_view call, long failedResult,
                                             DWORD documentedError) {
    return FaultsLocked().Fail(call, static_cast<long>(NowLocked()), failedResult, documentedError);
}
// The last error a call made now is to fail with, or 0 when it goes through.
inline DWORD FailureLocked(std::string_view call, DWORD documentedError) {
    return static_cast<DWORD>(FailLocked(call, 0, documentedError).error);
}

// Turns (sim::TakeTurns); the caller holds Lock(). A thread created while they are
// on waits for its first turn (AddThreadToTurnsLocked, then on the thread
// WaitForFirstTurnLocked); a waiting thread gives the turn away and gets it back
// when ready() holds or, no thread being ready, its wake time is the earliest;
// one that ends leaves the turns.
bool TurnsLocked();
void AddThreadToTurnsLocked(std::thread::id thread);
void WaitForFirstTurnLocked(std::unique_lock<std::mutex>& lock);
void WaitForTurnLocked(std::unique_lock<std::mutex>& lock, std::function<bool()> ready,
                       uint64_t wake);
// Whether a waiting thread is to run before this one moves the clock to time.
bool OtherThreadFirstLocked(uint64_t time);
void LeaveTurnsLocked();
void ResetTurnsLocked();

// Where a test may hold the calling thread (see HoldAt); called without Lock().
void Checkpoint(const char* call);
// The same for a synchronous I/O call: CancelSynchronousIo on the thread ends the
// hold. false when it was cancelled.
bool IoCheckpoint(const char* call);
// Marks the thread's synchronous I/O, when it waits in one, as cancelled; the
// caller holds Lock().
bool CancelIoLocked(DWORD threadId);
// The calling thread's id, as GetCurrentThreadId gives it; the caller holds Lock().
DWORD CurrentThreadIdLocked();
// Lets every held thread go and forgets the holds; called without Lock().
void ReleaseHolds();

// Virtual mode: lets virtual time pass on the calling thread for up to milliseconds,
// running due timers, and stops early once done() holds after one of them; returns
// done(). The caller holds the lock, which the timers run without.
bool AdvanceUntilLocked(std::unique_lock<std::mutex>& lock, uint32_t milliseconds,
                        const std::function<bool()>& done);
bool RealTimeLocked();
// Lets that much time pass on the calling thread as Sleep does (running due
// timers in virtual mode, sleeping scaled in real time); the caller holds the
// lock, which is released meanwhile.
void PassTimeLocked(std::unique_lock<std::mutex>& lock, uint32_t milliseconds);

// Threads that the product created, joined (with Lock() not held) before a reset.
void JoinThreads();
void JoinTimerThreads();
void JoinServiceThreads();

// Counts that Held reports, each from the file that owns them; the caller holds Lock().
int LocalBlocksLocked();
int DeviceSetsLocked();
int PreparsedDataLocked();
int LoadedModulesLocked();
int ServiceHandlesLocked();
int RegistryKeysLocked();
int TimerPeriodsLocked();

// Whether the program runs with administrator rights; the caller holds Lock().
bool AdministratorLocked();

} // namespace sim::detail
