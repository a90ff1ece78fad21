#include "service/service_lifecycle.h"

#include "bridge/poll_worker.h"
#include "service/service_config.h"
#include "service/trace.h"

std::atomic<SERVICE_STATUS_HANDLE> statusHandle{nullptr};
// Until ServiceMain reports running the service is starting: a control that
// arrives before then reports start-pending, never the invalid state 0.
std::atomic<DWORD> currentState{SERVICE_START_PENDING};
std::atomic<HANDLE> stopEvent{nullptr};

namespace {

// The stop sequence runs once. It can be entered from the dispatcher thread (a
// control) and from the service thread (a refused report) at the same time; a
// caller that comes while it runs waits until it is complete, so that no caller
// reports stopped while the worker may still hold the joystick, and ServiceMain,
// released by the event, cannot close it under a second SetEvent.
enum class StopProgress { notStarted, running, complete };
SRWLOCK stopLock = SRWLOCK_INIT;
CONDITION_VARIABLE stopCompleted = CONDITION_VARIABLE_INIT;
StopProgress stopProgress = StopProgress::notStarted; // guarded by stopLock

// True for the one caller that is to run the stop sequence; any other returns once
// it is complete.
bool ClaimStop() {
    AcquireSRWLockExclusive(&stopLock);
    bool first = stopProgress == StopProgress::notStarted;
    if (first) {
        stopProgress = StopProgress::running;
    }
    while (stopProgress == StopProgress::running && !first) {
        SleepConditionVariableSRW(&stopCompleted, &stopLock, INFINITE, 0);
    }
    ReleaseSRWLockExclusive(&stopLock);
    return first;
}

void CompleteStop() {
    AcquireSRWLockExclusive(&stopLock);
    stopProgress = StopProgress::complete;
    ReleaseSRWLockExclusive(&stopLock);
    WakeAllConditionVariable(&stopCompleted);
}

bool StopStarted() {
    AcquireSRWLockExclusive(&stopLock);
    bool started = stopProgress != StopProgress::notStarted;
    ReleaseSRWLockExclusive(&stopLock);
    return started;
}

BOOL SubmitStatus(DWORD state, DWORD checkPoint, DWORD waitHint) {
    SERVICE_STATUS status = {};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted =
        state == SERVICE_START_PENDING ? 0 : SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
    status.dwWin32ExitCode = 0;
    status.dwServiceSpecificExitCode = 0;
    status.dwCheckPoint = checkPoint;
    status.dwWaitHint = waitHint;
    return SetServiceStatus(statusHandle.load(), &status);
}

} // namespace

BOOL ReportServiceStatus(DWORD state, DWORD checkPoint, DWORD waitHint) {
    BOOL reported = SubmitStatus(state, checkPoint, waitHint);
    if (!reported) {
        StopService();
    }
    return reported;
}

void ResetStopSequence() {
    AcquireSRWLockExclusive(&stopLock);
    stopProgress = StopProgress::notStarted;
    ReleaseSRWLockExclusive(&stopLock);
}

BOOL StopService() {
    if (ClaimStop()) {
        StopPollWorker(workerStopDeadlineMs);
        HANDLE event = stopEvent.load();
        if (event != nullptr) {
            SetEvent(event);
        }
        CompleteStop();
    }
    // The stopped report is the last word: a refusal here does not start the
    // sequence again.
    return SubmitStatus(SERVICE_STOPPED, 0, 0);
}

void WINAPI ServiceCtrlHandler(DWORD control) {
    if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
        currentState.store(SERVICE_STOP_PENDING);
        ReportServiceStatus(SERVICE_STOP_PENDING, 1, 3000);
        StopService();
    } else {
        ReportServiceStatus(currentState.load(), 0, 0);
    }
}

void WINAPI ServiceMain(DWORD, LPSTR*) {
    SERVICE_STATUS_HANDLE status = RegisterServiceCtrlHandlerA(serviceName, ServiceCtrlHandler);
    if (status == nullptr) {
        return;
    }
    statusHandle.store(status);
    if (!ReportServiceStatus(SERVICE_START_PENDING, 1, 3000)) {
        return;
    }
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (event == nullptr) {
        // Without a way to stop, the service must not stay "starting" for ever.
        StopService();
        return;
    }
    stopEvent.store(event);
    // A stop that began before the event was stored (a refused report of a control
    // during start-up) could not signal it: nothing is started and nothing waited for.
    if (ReportServiceStatus(SERVICE_START_PENDING, 2, 1000) && !StopStarted()) {
        if (!StartPollWorker(serviceConfig.buttonNumber, serviceConfig.mode)) {
            StopService();
        } else {
            currentState.store(SERVICE_RUNNING);
            if (ReportServiceStatus(SERVICE_RUNNING, 0, 0)) {
                WaitForSingleObject(event, INFINITE);
            }
        }
    }
    stopEvent.store(nullptr);
    CloseHandle(event);
}

int ServiceProcessMain(int argc, char** argv) {
    if (!ParseCommandLine(argc, argv)) {
        return 0;
    }
    static char name[] = "ZUR Service 1.02";
    const SERVICE_TABLE_ENTRYA serviceTable[] = {{name, ServiceMain}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherA(serviceTable)) {
        // Started from a console rather than by the service manager.
        TraceMessage(".... Error 4");
        TraceCode(0x4444);
    }
    return 0;
}
