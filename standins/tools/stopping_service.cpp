// stopping_service: a service that starts and stops at once with an exit code,
// standing in for a joyvane_service.exe that refuses to run. install.cmd
// registers it with its five numbers; the first is the exit code:
//
//   "...\joyvane_service.exe" 87 1 0 30 250
//
// reports START_PENDING, then STOPPED with WIN32_EXIT_CODE 87. Like the real
// service it runs as an own-process service named "ZUR Service 1.02".
#include <windows.h>

#include <cstdlib>

namespace {

char serviceName[] = "ZUR Service 1.02";
DWORD exitCode = 0;

void WINAPI Handler(DWORD) {}

void WINAPI Main(DWORD, LPSTR*) {
    SERVICE_STATUS_HANDLE handle = RegisterServiceCtrlHandlerA(serviceName, Handler);
    if (handle == nullptr) {
        return;
    }
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = SERVICE_START_PENDING;
    status.dwCheckPoint = 1;
    status.dwWaitHint = 3000;
    SetServiceStatus(handle, &status);
    status.dwCurrentState = SERVICE_STOPPED;
    status.dwWin32ExitCode = exitCode;
    status.dwCheckPoint = 0;
    status.dwWaitHint = 0;
    SetServiceStatus(handle, &status);
}

} // namespace

int main(int argc, char** argv) {
    exitCode = argc > 1 ? static_cast<DWORD>(std::strtoul(argv[1], nullptr, 10)) : 0;
    SERVICE_TABLE_ENTRYA table[] = {{serviceName, Main}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherA(table) ? 0 : 1;
}
