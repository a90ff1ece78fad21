// The service control manager as a service process sees it: the dispatcher that
// runs ServiceMain on a thread of its own and delivers controls to the handler
// on the dispatcher's thread, and the status reports the service makes.
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <thread>

#include "sim/state.h"

namespace sim {
namespace {

bool startedByServiceManager = false;
bool dispatcherRunning = false;
bool serviceMainReturned = false;
LPHANDLER_FUNCTION handler = nullptr;
std::deque<DWORD> controls;
uint64_t controlsHandled = 0;
uint64_t controlsSent = 0;
std::vector<StatusReport> reports;
std::condition_variable serviceChanged;
std::thread serviceMainThread;

// The one status handle of this service, an address that only this file hands out.
char statusHandleTag;

bool StoppedLocked() {
    return !reports.empty() && reports.back().result &&
           reports.back().status.dwCurrentState == SERVICE_STOPPED;
}

// Waits until done() holds, in turn with the service's other threads when they take turns.
void AwaitLocked(std::unique_lock<std::mutex>& lock, const std::function<bool()>& done) {
    while (!done()) {
        if (detail::TurnsLocked()) {
            detail::WaitForTurnLocked(lock, done, UINT64_MAX);
        } else {
            serviceChanged.wait(lock);
        }
    }
}

} // namespace

namespace detail {

void ResetServiceLocked() {
    startedByServiceManager = false;
    dispatcherRunning = false;
    serviceMainReturned = false;
    handler = nullptr;
    controls.clear();
    controlsHandled = controlsSent = 0;
    reports.clear();
}

void JoinServiceThreads() {
    std::thread thread;
    {
        std::lock_guard<std::mutex> guard(Lock());
        thread.swap(serviceMainThread);
    }
    if (thread.joinable()) {
        thread.join();
    }
}

} // namespace detail

void StartedByServiceManager(bool started) {
    std::lock_guard<std::mutex> guard(detail::Lock());
    startedByServiceManager = started;
}

bool SendControl(DWORD control) {
    std::unique_lock<std::mutex> lock(detail::Lock());
    if (!dispatcherRunning || handler == nullptr) {
        return false;
    }
    controls.push_back(control);
    uint64_t ticket = ++controlsSent;
    serviceChanged.notify_all();
    if (detail::TurnsLocked()) {
        return true;
    }
    serviceChanged.wait(lock, [ticket] { return controlsHandled >= ticket || !dispatcherRunning; });
    return controlsHandled >= ticket;
}

bool WaitForServiceState(DWORD state, uint32_t timeoutMs) {
    std::unique_lock<std::mutex> lock(detail::Lock());
    return serviceChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs), [state] {
        for (const StatusReport& report : reports) {
            if (report.result && report.status.dwCurrentState == state) {
                return true;
            }
        }
        return false;
    });
}

std::vector<StatusReport> StatusReports() {
    std::lock_guard<std::mutex> guard(detail::Lock());
    return reports;
}

std::string StatusSequence() {
    std::string sequence;
    for (const StatusReport& report : StatusReports()) {
        if (!sequence.empty()) {
            sequence += ' ';
        }
        sequence += std::to_string(report.status.dwCurrentState) + "/" +
                    std::to_string(report.status.dwCheckPoint) + "/" +
                    std::to_string(report.status.dwWaitHint);
        if (!report.result) {
            sequence += '!';
        }
    }
    return sequence;
}

bool ServiceMainReturned() {
    std::lock_guard<std::mutex> guard(detail::Lock());
    return serviceMainReturned;
}

} // namespace sim

BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* serviceTable) {
    std::unique_lock<std::mutex> lock(sim::detail::Lock());
    sim::detail::LogCallLocked("StartServiceCtrlDispatcherA",
                               {.strings = {serviceTable[0].lpServiceName}});
    DWORD error = sim::detail::FailureLocked("StartServiceCtrlDispatcherA",
                                             ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    if (error == 0 && (!sim::startedByServiceManager || sim::dispatcherRunning)) {
        error = ERROR_FAILED_SERVICE_CONTROLLER_CONNECT;
    }
    if (error != 0) {
        SetLastError(error);
        return FALSE;
    }
    sim::dispatcherRunning = true;
    sim::serviceMainReturned = false;
    LPSERVICE_MAIN_FUNCTIONA serviceMain = serviceTable[0].lpServiceProc;
    LPSTR name = serviceTable[0].lpServiceName;
    sim::serviceMainThread = std::thread([serviceMain, name] {
        {
            std::unique_lock<std::mutex> first(sim::detail::Lock());
            sim::detail::WaitForFirstTurnLocked(first);
        }
        LPSTR argv[] = {name, nullptr};
        serviceMain(1, argv);
        std::lock_guard<std::mutex> done(sim::detail::Lock());
        sim::serviceMainReturned = true;
        sim::serviceChanged.notify_all();
        sim::detail::LeaveTurnsLocked();
    });
    sim::detail::AddThreadToTurnsLocked(sim::serviceMainThread.get_id());
    // Controls are handled here, on the dispatcher's thread, until the service
    // reports stopped (or its ServiceMain gives up without a word).
    for (;;) {
        sim::AwaitLocked(lock, [] {
            return !sim::controls.empty() || sim::StoppedLocked() || sim::serviceMainReturned;
        });
        if (sim::controls.empty()) {
            break;
        }
        DWORD control = sim::controls.front();
        sim::controls.pop_front();
        LPHANDLER_FUNCTION handler = sim::handler;
        sim::detail::LogCallLocked("(control)", {.numbers = {control}});
        lock.unlock();
        handler(control);
        lock.lock();
        ++sim::controlsHandled;
        sim::serviceChanged.notify_all();
    }
    sim::dispatcherRunning = false;
    sim::serviceChanged.notify_all();
    // The process would now end; ServiceMain gets a moment to return first (taking
    // turns, all the moment it needs: it never waits for the clock on its way out).
    if (sim::detail::TurnsLocked()) {
        sim::AwaitLocked(lock, [] { return sim::serviceMainReturned; });
    }
    sim::serviceChanged.wait_for(lock, std::chrono::seconds(10),
                                 [] { return sim::serviceMainReturned; });
    sim::detail::LogCallLocked("StartServiceCtrlDispatcherA", {.result = TRUE});
    return TRUE;
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerA(LPCSTR serviceName, LPHANDLER_FUNCTION handler) {
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    SERVICE_STATUS_HANDLE status = nullptr;
    if (DWORD error =
            sim::detail::FailureLocked("RegisterServiceCtrlHandlerA", ERROR_SERVICE_NOT_IN_EXE)) {
        SetLastError(error);
    } else {
        sim::handler = handler;
        status = reinterpret_cast<SERVICE_STATUS_HANDLE>(&sim::statusHandleTag);
    }
    sim::detail::LogCallLocked(
        "RegisterServiceCtrlHandlerA",
        {.result = status ? 1 : 0,
         .pointers = {sim::detail::PointerOf(reinterpret_cast<const void*>(handler))},
         .strings = {serviceName}});
    return status;
}

// Windows refuses a report whose state is not one of the seven service states.
BOOL SetServiceStatus(SERVICE_STATUS_HANDLE statusHandle, LPSERVICE_STATUS status) {
    sim::detail::Checkpoint("SetServiceStatus");
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    BOOL result = TRUE;
    if (DWORD error = sim::detail::FailureLocked("SetServiceStatus", ERROR_INVALID_HANDLE)) {
        SetLastError(error);
        result = FALSE;
    } else if (statusHandle != reinterpret_cast<SERVICE_STATUS_HANDLE>(&sim::statusHandleTag)) {
        SetLastError(ERROR_INVALID_HANDLE);
        result = FALSE;
    } else if (status->dwCurrentState < SERVICE_STOPPED || status->dwCurrentState > 7) {
        SetLastError(ERROR_INVALID_DATA);
        result = FALSE;
    }
    sim::reports.push_back(sim::StatusReport{sim::detail::NowLocked(), *status, result});
    sim::detail::LogCallLocked(
        "SetServiceStatus",
        {.result = result,
         .numbers = {status->dwServiceType, status->dwCurrentState, status->dwControlsAccepted,
                     status->dwWin32ExitCode, status->dwServiceSpecificExitCode,
                     status->dwCheckPoint, status->dwWaitHint}});
    sim::serviceChanged.notify_all();
    return result;
}
