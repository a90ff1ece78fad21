// joyvane_ctl: service-manager requests that Wine's sc.exe does not offer.
//
//   joyvane_ctl query NAME                    print the service's status
//   joyvane_ctl interrogate NAME              send SERVICE_CONTROL_INTERROGATE
//   joyvane_ctl control NAME CODE             send control CODE (decimal)
//   joyvane_ctl wait NAME STATE TIMEOUT_MS    poll until STATE; print elapsed ms
//   joyvane_ctl watch NAME DURATION_MS [INTERVAL_MS]
//                                             print every change of the status
//
// STATE is a name (STOPPED, START_PENDING, STOP_PENDING, RUNNING, ...) or a
// number. A status is printed as
//
//   <unix_us> <qpc_us> <STATE> state=<n> checkpoint=<n> waithint=<n> accepted=0x<n> exit=<n>
//   specific=<n>
//
// with the time base of the stand-in logs. Exit status: 0 success, 1 failure
// (request refused, state not reached), 2 usage error.
#include "common/standin_log.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char* const stateNames[] = {"UNKNOWN", "STOPPED",          "START_PENDING", "STOP_PENDING",
                                  "RUNNING", "CONTINUE_PENDING", "PAUSE_PENDING", "PAUSED"};

const char* StateName(DWORD state) {
    return state < sizeof stateNames / sizeof stateNames[0] ? stateNames[state] : "UNKNOWN";
}

// A state given by name or number; 0 when not understood.
DWORD ParseState(const char* text) {
    for (DWORD state = 1; state < sizeof stateNames / sizeof stateNames[0]; ++state) {
        if (lstrcmpiA(text, stateNames[state]) == 0) {
            return state;
        }
    }
    return std::strtoul(text, nullptr, 10);
}

void PrintStatus(const SERVICE_STATUS& status) {
    std::printf(
        "%lld %lld %s state=%lu checkpoint=%lu waithint=%lu accepted=0x%lx exit=%lu specific=%lu\n",
        static_cast<long long>(standin::UnixMicros()), static_cast<long long>(standin::QpcMicros()),
        StateName(status.dwCurrentState), status.dwCurrentState, status.dwCheckPoint,
        status.dwWaitHint, status.dwControlsAccepted, status.dwWin32ExitCode,
        status.dwServiceSpecificExitCode);
    std::fflush(stdout);
}

bool SameStatus(const SERVICE_STATUS& a, const SERVICE_STATUS& b) {
    return a.dwCurrentState == b.dwCurrentState && a.dwCheckPoint == b.dwCheckPoint &&
           a.dwWaitHint == b.dwWaitHint && a.dwControlsAccepted == b.dwControlsAccepted;
}

int Query(SC_HANDLE service) {
    SERVICE_STATUS status{};
    if (!QueryServiceStatus(service, &status)) {
        std::fprintf(stderr, "joyvane_ctl: QueryServiceStatus failed: %lu\n", GetLastError());
        return 1;
    }
    PrintStatus(status);
    return 0;
}

int Control(SC_HANDLE service, DWORD code) {
    SERVICE_STATUS status{};
    if (!ControlService(service, code, &status)) {
        std::fprintf(stderr, "joyvane_ctl: ControlService(%lu) failed: %lu\n", code,
                     GetLastError());
        return 1;
    }
    PrintStatus(status);
    return 0;
}

int Wait(SC_HANDLE service, DWORD wanted, DWORD timeoutMs) {
    const ULONGLONG start = GetTickCount64();
    SERVICE_STATUS status{};
    for (;;) {
        const ULONGLONG elapsed = GetTickCount64() - start;
        if (QueryServiceStatus(service, &status) && status.dwCurrentState == wanted) {
            std::printf("%s reached after %llu ms\n", StateName(wanted), elapsed);
            return 0;
        }
        if (elapsed >= timeoutMs) {
            std::printf("%s not reached after %llu ms; last state %s\n", StateName(wanted), elapsed,
                        StateName(status.dwCurrentState));
            return 1;
        }
        Sleep(1);
    }
}

// Samples the status; a state that lasts less than one sampling interval (plus
// the time of one query) can be missed.
int Watch(SC_HANDLE service, DWORD durationMs, DWORD intervalMs) {
    const ULONGLONG start = GetTickCount64();
    SERVICE_STATUS last{};
    bool haveLast = false;
    DWORD lastError = ERROR_SUCCESS;
    while (GetTickCount64() - start < durationMs) {
        SERVICE_STATUS status{};
        if (!QueryServiceStatus(service, &status)) {
            if (GetLastError() != lastError) {
                lastError = GetLastError();
                std::printf("%lld %lld QUERY_FAILED error=%lu\n",
                            static_cast<long long>(standin::UnixMicros()),
                            static_cast<long long>(standin::QpcMicros()), lastError);
                std::fflush(stdout);
            }
        } else if (!haveLast || !SameStatus(status, last)) {
            PrintStatus(status);
            last = status;
            haveLast = true;
            lastError = ERROR_SUCCESS;
        }
        if (intervalMs > 0) {
            Sleep(intervalMs);
        }
    }
    return 0;
}

int Usage() {
    std::fprintf(stderr, "usage: joyvane_ctl query|interrogate NAME\n"
                         "       joyvane_ctl control NAME CODE\n"
                         "       joyvane_ctl wait NAME STATE TIMEOUT_MS\n"
                         "       joyvane_ctl watch NAME DURATION_MS [INTERVAL_MS]\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        return Usage();
    }
    const char* command = argv[1];
    const bool known =
        (argc == 3 && (!std::strcmp(command, "query") || !std::strcmp(command, "interrogate"))) ||
        (argc == 4 && !std::strcmp(command, "control")) ||
        (argc == 5 && !std::strcmp(command, "wait")) ||
        ((argc == 4 || argc == 5) && !std::strcmp(command, "watch"));
    if (!known) {
        return Usage();
    }

    int result = 1;
    SC_HANDLE service = nullptr;
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr) {
        std::fprintf(stderr, "joyvane_ctl: OpenSCManagerA failed: %lu\n", GetLastError());
        goto cleanup;
    }
    service = OpenServiceA(manager, argv[2],
                           SERVICE_QUERY_STATUS | SERVICE_INTERROGATE | SERVICE_STOP |
                               SERVICE_PAUSE_CONTINUE | SERVICE_USER_DEFINED_CONTROL);
    if (service == nullptr) {
        std::fprintf(stderr, "joyvane_ctl: OpenServiceA(%s) failed: %lu\n", argv[2],
                     GetLastError());
        goto cleanup;
    }

    if (!std::strcmp(command, "query")) {
        result = Query(service);
    } else if (!std::strcmp(command, "interrogate")) {
        result = Control(service, SERVICE_CONTROL_INTERROGATE);
    } else if (!std::strcmp(command, "control")) {
        result = Control(service, std::strtoul(argv[3], nullptr, 10));
    } else if (!std::strcmp(command, "wait")) {
        const DWORD state = ParseState(argv[3]);
        result = state == 0 ? Usage() : Wait(service, state, std::strtoul(argv[4], nullptr, 10));
    } else {
        result = Watch(service, std::strtoul(argv[3], nullptr, 10),
                       argc == 5 ? std::strtoul(argv[4], nullptr, 10) : 1);
    }

cleanup:
    if (service != nullptr) {
        CloseServiceHandle(service);
    }
    if (manager != nullptr) {
        CloseServiceHandle(manager);
    }
    return result;
}
