// joyvane_ctl: service-manager requests that Wine's sc.exe does not offer.
//
//   joyvane_ctl query NAME                    print the service's status
//   joyvane_ctl wait NAME STATE TIMEOUT_MS    poll until STATE; print elapsed ms
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

int Query(SC_HANDLE service) {
    SERVICE_STATUS status{};
    if (!QueryServiceStatus(service, &status)) {
        std::fprintf(stderr, "joyvane_ctl: QueryServiceStatus failed: %lu\n", GetLastError());
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

int Usage() {
    std::fprintf(stderr, "usage: joyvane_ctl query NAME\n"
                         "       joyvane_ctl wait NAME STATE TIMEOUT_MS\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        return Usage();
    }
    const char* command = argv[1];
    const bool known = (argc == 3 && !std::strcmp(command, "query")) ||
                       (argc == 5 && !std::strcmp(command, "wait"));
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
    service = OpenServiceA(manager, argv[2], SERVICE_QUERY_STATUS);
    if (service == nullptr) {
        std::fprintf(stderr, "joyvane_ctl: OpenServiceA(%s) failed: %lu\n", argv[2],
                     GetLastError());
        goto cleanup;
    }

    if (!std::strcmp(command, "query")) {
        result = Query(service);
    } else {
        const DWORD state = ParseState(argv[3]);
        result = state == 0 ? Usage() : Wait(service, state, std::strtoul(argv[4], nullptr, 10));
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
