// The poll worker: the one thread that does the service's work. It loads the
// capture-device library (waiting, trying again each second, while there is none
// that can serve), opens a capture connection, polls the button at the configured
// pace and reconnects after a failure, until it is asked to stop.
#pragma once

#include <atomic>
#include <cstdint>

#include "bridge/settings.h"
#include "platform/win32.h"

extern std::atomic<int32_t> runFlag;        // non-zero while the worker is to keep running
extern std::atomic<int32_t> workerAlive;    // 1 from the worker's start until it leaves
extern std::atomic<HANDLE> workerThread;    // closed by StopPollWorker
extern std::atomic<HANDLE> workerStopEvent; // set when a stop is requested; ends every pause

// How long a stop waits for the worker to leave: its pauses end at once, so only a
// call into the capture library (or a report) can hold it up that long.
constexpr DWORD workerStopDeadlineMs = 1001;

// 1 when the worker thread was created, with its own copy of the settings.
int StartPollWorker(const ServiceConfig& settings);

// Asks the worker to stop: it leaves at its next pause, or at once from one.
void RequestWorkerStop();

// Asks the worker to stop and waits up to deadlineMs for its thread to end. A worker
// still inside a library call then is left to the end of the process; the joystick
// is let go here instead, every button up. 1 when the worker left in time.
int StopPollWorker(DWORD deadlineMs);

// What a stop does when the worker did not leave by the deadline: a report its
// driver does not complete is cancelled, the idle value goes to the joystick, which
// is closed (JoystickLetGoFromStop).
void LetGoOfJoystickForStuckWorker();

// One of the worker's pauses (reconnect, poll, click): it ends early when a stop is
// requested. A negative length is no pause rather than the 49 days it would be as
// an unsigned Windows duration. false when the worker is to stop.
bool WorkerPause(int32_t milliseconds);

// The thread procedure. It waits for a usable capture library as long as it takes
// and leaves only when asked to stop; it returns 0.
DWORD WINAPI PollWorker(LPVOID params);

// 0 when the capture device, its I2C bus and the joystick are open and the idle
// report is sent; 1 otherwise.
int OpenCaptureConnection(int32_t mode, int32_t buttonNumber, int32_t inverted);

// One poll: 0 when the button state was read (and acted on), 1 on failure.
int Get_GPIO(int32_t mode, int32_t buttonNumber, int32_t inverted, int32_t pulseMs);
// The call that made the last poll fail and what it returned, for the event of
// the lost device. Worker thread only.
struct PollFailure {
    const char* call;
    int32_t result;
};
extern PollFailure lastPollFailure;

// Lets go of the joystick with every button up (when it is open), so that no
// button stays down while the capture device is away or the service is stopped.
void ReleaseJoystick();

// 0 when the library closed the device (the joystick is then released too); 1 when
// the library refused: the joystick stays open too, but with every button up.
int CloseCaptureConnection(int32_t deviceIndex);
