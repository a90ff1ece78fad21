// sc_recorder: stands in for System32\sc.exe while the MSI is tested under Wine.
//
// Wine's sc.exe knows neither `privs`, `sidtype` nor `failureflag` (it fails
// them with exit status 1), and it accepts `failure` without keeping anything,
// so the installer's custom actions that run sc.exe can be checked only for
// what they ask: each call appends one call-log record to sc_calls.log beside
// this program,
//
//   <unix_us> <qpc_us> <pid> <tid> sc <exit status> 0 service=<state> command=<command line>
//
// where <state> is the state of the service named by the second argument at
// the time of the call (STOPPED, RUNNING, ..., or `absent` when it is not
// registered) and <command line> is the whole command line as the caller
// passed it. The exit status is 0 unless world.scenario beside this program
// has a fault rule for the call "sc-COMMAND" (COMMAND is the first argument),
// whose error is then the exit status:
//
//   sc-sidtype fail 0 end 1060
#include "common/world_file.h"
#include "common/standin_log.h"

#include <windows.h>

#include <vector>

namespace {

const char* StateName(DWORD state) {
    static const char* const names[] = {"UNKNOWN",       "STOPPED", "START_PENDING",
                                        "STOP_PENDING",  "RUNNING", "CONTINUE_PENDING",
                                        "PAUSE_PENDING", "PAUSED"};
    return state < sizeof names / sizeof names[0] ? names[state] : "UNKNOWN";
}

const char* ServiceState(const char* name) {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr) {
        return "no-manager";
    }
    const char* state = "absent";
    SC_HANDLE service = OpenServiceA(manager, name, SERVICE_QUERY_STATUS);
    if (service != nullptr) {
        SERVICE_STATUS status{};
        state = QueryServiceStatus(service, &status) ? StateName(status.dwCurrentState) : "unknown";
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return state;
}

// The exit status the fault table gives this run of `sc COMMAND` (the call
// "sc-COMMAND", its error being the status), or 0.
int ConfiguredStatus(const char* command) {
    world::Scenario scenario;
    if (!standin::ReadWorld(nullptr, scenario, INVALID_HANDLE_VALUE)) {
        return 0;
    }
    world::FaultTable faults;
    for (const world::Fault& fault : scenario.faults) {
        faults.Add(fault);
    }
    const world::Fault* fault = faults.Fails(std::string("sc-") + command, 0);
    return fault != nullptr ? static_cast<int>(fault->error) : 0;
}

} // namespace

int main(int argc, char** argv) {
    const int status = argc > 1 ? ConfiguredStatus(argv[1]) : 0;
    const char* state = argc > 2 ? ServiceState(argv[2]) : "-";
    char path[MAX_PATH];
    if (standin::PathBesideModule(nullptr, "sc_calls.log", path, sizeof path)) {
        HANDLE log = standin::OpenAppendLog(path);
        standin::Write(log,
                       world::CallRecord{.call = "sc", .result = status, .error = 0, .args = {}}
                           .Arg("service", state)
                           .Arg("command", GetCommandLineA()));
        if (log != INVALID_HANDLE_VALUE) {
            CloseHandle(log);
        }
    }
    return status;
}
