// The poll worker: the one thread that does the service's work. It loads the
// capture-device library, opens a capture connection, polls the button at the
// configured pace and reconnects after a failure, until it is asked to stop.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/win32.h"

// Copied from the configuration when the worker starts; the worker frees it.
struct WorkerParams {
    int32_t buttonNumber;
    int32_t mode;
    int32_t pollIntervalMs;
    int32_t pulseMs;
};

extern std::atomic<int32_t> runFlag;     // non-zero while the worker is to keep running
extern std::atomic<int32_t> workerAlive; // 1 from the worker's start until it leaves
extern std::atomic<HANDLE> workerThread; // closed by the stop sequence

// 1 when the worker thread was created.
int StartPollWorker(int32_t buttonNumber, int32_t mode);

// The thread procedure: 0 after a requested stop, 1 when the library did not load.
DWORD WINAPI PollWorker(LPVOID params);

// 0 when the capture device, its I2C bus and the joystick are open and the idle
// report is sent; 1 otherwise.
int OpenCaptureConnection(int32_t mode, int32_t buttonNumber, int32_t inverted);

// One poll: 0 when the button state was read (and acted on), 1 on failure.
int Get_GPIO(int32_t mode, int32_t buttonNumber, int32_t inverted, int32_t pulseMs);

// Lets go of the joystick with every button up (when it is open), so that no
// button stays down while the capture device is away or the service is stopped.
void ReleaseJoystick();

// 0 when the library closed the device (the joystick is then released too); 1 when
// the library refused, leaving everything open.
int CloseCaptureConnection(int32_t deviceIndex);
