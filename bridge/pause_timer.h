// Pauses of exact length on Windows.
//
// A wait with a timeout (Sleep, WaitForSingleObject) ends on a tick of the system
// timer, 15.625 ms by default; since Windows 10 2004 a process that does not raise
// the timer resolution itself waits in those steps whatever other programs ask
// for, so a 30 ms poll pause would last 31 to 47 ms and a 100 ms click 109 to
// 125 ms. A high-resolution waitable timer (Windows 10 1803 and later) ends at its
// due time whatever the resolution. Where Windows refuses one, the worker raises
// the resolution to 1 ms while it is connected to the capture device, the time in
// which it polls and clicks, and lowers it again when the connection ends.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/win32.h"

// The worker's high-resolution timer: created when the worker starts, closed when
// it leaves; null while there is none (no worker, or Windows refused one).
extern std::atomic<HANDLE> workerPauseTimer;

// Creates a high-resolution timer for the calling thread's pauses; null when
// Windows refuses one (ERROR_INVALID_PARAMETER before Windows 10 1803).
HANDLE CreatePauseTimer();

// The worker's end with its timer: forgotten (when it is still the worker's) and
// closed; nothing for null.
void LeavePauseTimer(HANDLE timer);

// Waits length ms on timer, or less when stop is set first. WAIT_OBJECT_0 when the
// stop ended it, WAIT_OBJECT_0 + 1 when the time was up; WAIT_FAILED when the
// timer could not be set or the wait failed, having waited for nothing.
DWORD WaitOnPauseTimer(HANDLE timer, HANDLE stop, DWORD length);

// A pause of exact length on a thread that has no timer of its own (the
// multimedia timer's thread): on a timer created for it, else with Sleep.
void ExactSleep(DWORD length);

// The worker's fallback where it has no high-resolution timer: true raises the
// timer resolution to 1 ms (once, however often asked), false lowers it again when
// it was raised; with a high-resolution timer both do nothing.
void HoldTimerResolution(bool connected);
