#include "service/service_lifecycle.h"

#include <cstdio>

#include "bridge/poll_worker.h"
#include "service/service_config.h"
#include "platform/diagnostics.h"
#include "platform/event_log.h"
#include "messages.h"

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
// Why the service ends, for the stopped report: 0, or the Windows error of a failure
// that stops it, so that the service manager logs it and applies recovery.
std::atomic<DWORD> exitCode{0};

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
    status.dwWin32ExitCode = state == SERVICE_STOPPED ? exitCode.load() : 0;
    status.dwServiceSpecificExitCode = 0;
    status.dwCheckPoint = checkPoint;
    status.dwWaitHint = waitHint;
    return SetServiceStatus(statusHandle.load(), &status);
}

// The stop sequence's work, for the one caller that claimed it.
void RunStopSequence() {
    const int left = StopPollWorker(workerStopDeadlineMs);
    if (left) {
        LogEventNumbers(MSG_SERVICE_STOPPED, {static_cast<long long>(exitCode.load())});
    } else {
        LogEventNumbers(MSG_SERVICE_STOPPED_WORKER_LET_GO,
                        {static_cast<long long>(exitCode.load()), workerStopDeadlineMs});
    }
    // A control after the stop reports what the service is by then.
    currentState.store(SERVICE_STOPPED);
    HANDLE event = stopEvent.load();
    if (event != nullptr) {
        SetEvent(event);
    }
    CompleteStop();
}

// Stops the service at start with an error, before anything was started.
void RefuseToStart(DWORD error) {
    exitCode.store(error);
    StopService();
}

// Starts the worker, reports running and waits until the service stops. The worker
// never ends by itself: without a usable capture library it waits for one, and the
// service is running meanwhile.
void RunWorker(HANDLE event) {
    // Ahead of the worker, whose first events (the library) follow it.
    LogServiceStarted({serviceConfig.buttonNumber, serviceConfig.mode, serviceConfig.inverted,
                       serviceConfig.pollIntervalMs, serviceConfig.pulseMs});
    if (!StartPollWorker(serviceConfig)) {
        // A service that cannot start its worker does nothing: the service manager
        // must see the failure, not a clean stop.
        RefuseToStart(GetLastError());
        return;
    }
    currentState.store(SERVICE_RUNNING);
    if (ReportServiceStatus(SERVICE_RUNNING, 0, 0)) {
        WaitForSingleObject(event, INFINITE);
    }
}

// ServiceMain's last step before it closes the event: the stop sequence, if nobody
// ran it (the wait for the event failed), or the end of the one under way, whose
// SetEvent must not meet a closed handle.
void FinishStop() {
    if (ClaimStop()) {
        RunStopSequence();
        SubmitStatus(SERVICE_STOPPED, 0, 0);
    }
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
    exitCode.store(0);
}

void WINAPI ServiceMainWithoutArguments(DWORD, LPSTR*) {
    SERVICE_STATUS_HANDLE status = RegisterServiceCtrlHandlerA(serviceName, ServiceCtrlHandler);
    if (status == nullptr) {
        return;
    }
    statusHandle.store(status);
    TraceMessage("Error: Wrong number of arguments !");
    RefuseToStart(ERROR_INVALID_PARAMETER);
}

BOOL StopService() {
    if (ClaimStop()) {
        RunStopSequence();
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
    // Without the log the service works all the same; the refusal is traced.
    OpenEventLog();
    if (!ReportServiceStatus(SERVICE_START_PENDING, 1, 3000)) {
        CloseEventLog();
        return;
    }
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (event == nullptr) {
        // Without a way to stop, the service must not stay "starting" for ever;
        // it stops with the error, as a start that failed.
        RefuseToStart(GetLastError());
        CloseEventLog();
        return;
    }
    stopEvent.store(event);
    // A stop that began before the event was stored (a refused report of a control
    // during start-up) could not signal it: nothing is started and nothing waited for.
    if (ReportServiceStatus(SERVICE_START_PENDING, 2, 1000) && !StopStarted()) {
        if (!ModeIsKnown(serviceConfig.mode)) {
            // Every press would fail its poll and reconnect: refused at once, with
            // the value that was given.
            TraceMessage("Error: the mode must be 0, 1 or 2");
            TraceCode(serviceConfig.mode);
            RefuseToStart(ERROR_INVALID_PARAMETER);
        } else {
            RunWorker(event);
        }
    }
    FinishStop();
    stopEvent.store(nullptr);
    CloseHandle(event);
    CloseEventLog();
}

namespace {

// A user who starts the service's program in a console sees this, not the trace.
// The numbers are shown as they were given (each cut short), for a copy and paste.
void PrintNotAServiceHint(char** argv) {
    std::fprintf(stderr,
                 "joyvane_service.exe is a Windows service: install it with install.cmd or the "
                 "MSI (as administrator) and it starts with Windows; "
                 "\"joyvane_console.exe %.16s %.16s %.16s %.16s %.16s\" runs the bridge in this "
                 "console.\n",
                 argv[1], argv[2], argv[3], argv[4], argv[5]);
}

} // namespace

int ServiceProcessMain(int argc, char** argv) {
    static char name[] = "ZUR Service 1.02";
    if (argc < commandLineArguments + 1) {
        // A service has no desktop where a message box could be seen or answered,
        // and the service manager would wait for it in vain. Only a process that the
        // service manager started connects to it, so the dispatcher tells the two
        // apart: as a service, the start fails at once with an error; from a
        // desktop or a console, the user is told.
        const SERVICE_TABLE_ENTRYA refusing[] = {{name, ServiceMainWithoutArguments},
                                                 {nullptr, nullptr}};
        if (!StartServiceCtrlDispatcherA(refusing)) {
            ParseCommandLine(argc, argv);
        }
        return 0;
    }
    if (!ParseCommandLine(argc, argv)) {
        return 0;
    }
    const SERVICE_TABLE_ENTRYA serviceTable[] = {{name, ServiceMain}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherA(serviceTable)) {
        // Started from a console rather than by the service manager.
        TraceMessage(".... Error 4");
        TraceCode(0x4444);
        PrintNotAServiceHint(argv);
    }
    return 0;
}

namespace {

std::atomic<DWORD> processRefusal{0};

void WINAPI ServiceMainRefusing(DWORD, LPSTR*) {
    SERVICE_STATUS_HANDLE status = RegisterServiceCtrlHandlerA(serviceName, ServiceCtrlHandler);
    if (status == nullptr) {
        return;
    }
    statusHandle.store(status);
    RefuseToStart(processRefusal.load());
}

} // namespace

int RefuseServiceProcess(DWORD error, const char* what) {
    TraceMessage("Error: not found in System32:");
    TraceMessage(what);
    TraceCode(static_cast<int32_t>(error));
    processRefusal.store(error);
    static char name[] = "ZUR Service 1.02";
    const SERVICE_TABLE_ENTRYA refusing[] = {{name, ServiceMainRefusing}, {nullptr, nullptr}};
    StartServiceCtrlDispatcherA(refusing);
    return 1;
}
