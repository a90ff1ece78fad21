#include "service/service_lifecycle.h"

#include "bridge/poll_worker.h"
#include "service/service_config.h"
#include "service/trace.h"

std::atomic<SERVICE_STATUS_HANDLE> statusHandle{nullptr};
// Until ServiceMain reports running the service is starting: a control that
// arrives before then reports start-pending, never the invalid state 0.
std::atomic<DWORD> currentState{SERVICE_START_PENDING};
std::atomic<HANDLE> stopEvent{nullptr};
std::atomic<bool> stopEventSignalled{false};

namespace {

constexpr int stopWaitPauses = 1000;
constexpr DWORD stopGraceMs = 50;

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

BOOL StopService() {
    if (runFlag.exchange(0) != 0) {
        // The worker reads runFlag once per pass; give it about a second to leave.
        for (int pauses = 0; workerAlive.load() == 1 && pauses <= stopWaitPauses; ++pauses) {
            Sleep(1);
        }
        Sleep(stopGraceMs);
        HANDLE thread = workerThread.exchange(nullptr);
        if (thread != nullptr) {
            CloseHandle(thread);
        }
    }
    HANDLE event = stopEvent.load();
    if (event != nullptr && !stopEventSignalled.exchange(true)) {
        SetEvent(event);
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
    if (ReportServiceStatus(SERVICE_START_PENDING, 2, 1000)) {
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
