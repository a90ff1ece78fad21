#include "bridge/poll_worker.h"

#include "bridge/button_masks.h"
#include "joystick/virtual_joystick.h"
#include "service/service_config.h"
#include "service/trace.h"
#include "usbio/usbio_api.h"

std::atomic<int32_t> runFlag{0};
std::atomic<int32_t> workerAlive{0};
std::atomic<HANDLE> workerThread{nullptr};

namespace {

constexpr DWORD reconnectPauseMs = 1000;
constexpr int firstPollRetries = 100;

} // namespace

int StartPollWorker(int32_t buttonNumber, int32_t mode) {
    auto* params = static_cast<WorkerParams*>(LocalAlloc(LPTR, sizeof(WorkerParams)));
    if (params == nullptr) {
        return 0;
    }
    *params = WorkerParams{buttonNumber, mode, serviceConfig.pollIntervalMs, serviceConfig.pulseMs};
    runFlag.store(1);
    // Alive from here, not only once the thread runs: a stop that comes before the
    // thread's first instruction must still wait for it.
    workerAlive.store(1);
    HANDLE thread = CreateThread(nullptr, 0, PollWorker, params, 0, nullptr);
    if (thread == nullptr) {
        runFlag.store(0);
        workerAlive.store(0);
        LocalFree(params);
        return 0;
    }
    workerThread.store(thread);
    return 1;
}

DWORD WINAPI PollWorker(LPVOID parameter) {
    WorkerParams params = *static_cast<WorkerParams*>(parameter);
    LocalFree(parameter);
    workerAlive.store(1);
    if (!LoadUsbIoLibrary(usbIoLibraryName)) {
        workerAlive.store(0);
        return 1;
    }
    const int32_t inverted = serviceConfig.inverted;
    bool connected = false;
    while (runFlag.load() != 0) {
        if (!connected) {
            Sleep(reconnectPauseMs);
            if (OpenCaptureConnection(params.mode, params.buttonNumber, inverted) != 0) {
                continue;
            }
            connected = true;
            // A device that opened but cannot be read is given up after 101
            // immediate retries, without closing it; the next open starts afresh.
            int result = Get_GPIO(params.mode, params.buttonNumber, inverted, params.pulseMs);
            for (int retries = 0; result == 1;) {
                result = Get_GPIO(params.mode, params.buttonNumber, inverted, params.pulseMs);
                if (++retries > firstPollRetries) {
                    TraceMessage("\nError: Get_GPIO after Init");
                    connected = false;
                    break;
                }
            }
        } else {
            PauseMs(params.pollIntervalMs);
            if (Get_GPIO(params.mode, params.buttonNumber, inverted, params.pulseMs) == 1) {
                connected = false;
                CloseCaptureConnection(0);
            }
        }
    }
    // No long-press callback may run once the joystick and the library are gone.
    CancelLongPressTimer();
    CloseCaptureConnection(0);
    // A refused close leaves the joystick open; it is released all the same.
    if (JoystickConnectionHeld()) {
        ReleaseJoystick();
    }
    FreeUsbIoLibrary();
    workerAlive.store(0);
    return 0;
}
