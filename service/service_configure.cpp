#include "service/service_configure.h"

#include <cstdio>
#include <cstring>

#include "platform/win32.h"
#include "service/error_text.h"
#include "service/registered_command_line.h"
#include "service/service_config.h"

namespace {

// The values that the installer reads back on a repair or an upgrade, in the
// order of the command line.
const char* const valueNames[commandLineArguments] = {"BUTTON", "MODE", "INVERTED", "POLL_MS",
                                                      "CLICK_MS"};
constexpr char settingsKey[] = "SOFTWARE\\Joyvane";

// A stop or a start is given this long to come about, looked at every 100 ms.
constexpr int stateWaitMs = 10000;
constexpr int stateCheckMs = 100;

const DWORD serviceRights = SERVICE_QUERY_CONFIG | SERVICE_CHANGE_CONFIG | SERVICE_QUERY_STATUS |
                            SERVICE_STOP | SERVICE_START;

void PrintCallFailed(const char* call, DWORD error) {
    char text[96];
    FormatError(error, text, sizeof text);
    std::printf("%s failed: %s%s\n", call, text,
                error == ERROR_ACCESS_DENIED ? ": run it as administrator" : "");
}

enum class Wait { reached, timedOut, unreadable };

// Waits until the service is in that state; a start may also end in STOPPED. A
// status that cannot be read is printed.
Wait WaitForState(SC_HANDLE service, DWORD wanted, SERVICE_STATUS_PROCESS* status) {
    for (int waited = 0;; waited += stateCheckMs) {
        DWORD needed = 0;
        if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(status),
                                  sizeof *status, &needed)) {
            PrintCallFailed("QueryServiceStatusEx", GetLastError());
            std::puts("service: its state cannot be read; \"joyvane_console --status\" shows it");
            return Wait::unreadable;
        }
        if (status->dwCurrentState == wanted || status->dwCurrentState == SERVICE_STOPPED) {
            return Wait::reached;
        }
        if (waited >= stateWaitMs) {
            return Wait::timedOut;
        }
        Sleep(stateCheckMs);
    }
}

// Stops the service, waits for it to stop, starts it and waits for it to run.
// True when it runs again.
bool Restart(SC_HANDLE service) {
    SERVICE_STATUS stopped = {};
    if (!ControlService(service, SERVICE_CONTROL_STOP, &stopped)) {
        PrintCallFailed("ControlService", GetLastError());
        std::puts("service: still running with the old settings; they change at its next start");
        return false;
    }
    SERVICE_STATUS_PROCESS status = {};
    Wait stop = WaitForState(service, SERVICE_STOPPED, &status);
    if (stop != Wait::reached) {
        if (stop == Wait::unreadable) {
            return false;
        }
        std::printf("service: not stopped within 10 s (%s); the new settings apply at its next "
                    "start\n",
                    ServiceStateName(status.dwCurrentState));
        return false;
    }
    if (!StartServiceA(service, 0, nullptr)) {
        PrintCallFailed("StartServiceA", GetLastError());
        std::puts("service: stopped; start it again to run with the new settings");
        return false;
    }
    Wait start = WaitForState(service, SERVICE_RUNNING, &status);
    if (start != Wait::reached) {
        if (start == Wait::timedOut) {
            std::printf("service: not running within 10 s (%s)\n",
                        ServiceStateName(status.dwCurrentState));
        }
        return false;
    }
    if (status.dwCurrentState != SERVICE_RUNNING) {
        const char* words = ErrorText(status.dwWin32ExitCode);
        std::printf("service: stopped at its start with exit code %lu%s%s%s "
                    "(\"joyvane_console --status\" says more)\n",
                    static_cast<unsigned long>(status.dwWin32ExitCode), words[0] ? " (" : "", words,
                    words[0] ? ")" : "");
        return false;
    }
    std::puts("service: stopped and started again: RUNNING");
    return true;
}

// The five values into the open key. 0, or the error of the first that failed
// (with *written values written before it).
LONG WriteValues(HKEY key, const char* const numbers[commandLineArguments], int* written) {
    *written = 0;
    for (int i = 0; i < commandLineArguments; ++i) {
        LONG error =
            RegSetValueExA(key, valueNames[i], 0, REG_SZ, reinterpret_cast<const BYTE*>(numbers[i]),
                           static_cast<DWORD>(std::strlen(numbers[i]) + 1));
        if (error != ERROR_SUCCESS) {
            return error;
        }
        ++*written;
    }
    return ERROR_SUCCESS;
}

struct Handles {
    SC_HANDLE manager = nullptr;
    SC_HANDLE service = nullptr;
    HKEY key = nullptr;
    QUERY_SERVICE_CONFIGA* config = nullptr;
};

void Release(Handles& handles) {
    if (handles.config != nullptr) {
        LocalFree(handles.config);
    }
    if (handles.key != nullptr) {
        RegCloseKey(handles.key);
    }
    if (handles.service != nullptr) {
        CloseServiceHandle(handles.service);
    }
    if (handles.manager != nullptr) {
        CloseServiceHandle(handles.manager);
    }
}

// Everything that can be refused before anything changes: the service manager,
// the service with every right the change needs, the registry key, the current
// configuration and state. True when all are at hand.
bool OpenEverything(Handles& handles, RegisteredCommandLine* old, SERVICE_STATUS_PROCESS* status) {
    handles.manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (handles.manager == nullptr) {
        PrintCallFailed("OpenSCManagerA", GetLastError());
        return false;
    }
    handles.service = OpenServiceA(handles.manager, installedServiceName, serviceRights);
    if (handles.service == nullptr) {
        PrintCallFailed("OpenServiceA", GetLastError());
        return false;
    }
    // The 32-bit view, where the installer (a 32-bit package) keeps its values
    // too, even if this were ever built as a 64-bit program.
    LONG error =
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, settingsKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_SET_VALUE | KEY_WOW64_32KEY, nullptr, &handles.key, nullptr);
    if (error != ERROR_SUCCESS) {
        handles.key = nullptr;
        PrintCallFailed("RegCreateKeyExA", static_cast<DWORD>(error));
        return false;
    }
    if (DWORD queryError = QueryServiceConfiguration(handles.service, &handles.config)) {
        PrintCallFailed("QueryServiceConfigA", queryError);
        return false;
    }
    const char* imagePath =
        handles.config->lpBinaryPathName != nullptr ? handles.config->lpBinaryPathName : "";
    if (!ParseRegisteredCommandLine(imagePath, old)) {
        std::printf("the registered command line cannot be taken apart: %s\n", imagePath);
        return false;
    }
    DWORD needed = 0;
    if (!QueryServiceStatusEx(handles.service, SC_STATUS_PROCESS_INFO,
                              reinterpret_cast<LPBYTE>(status), sizeof *status, &needed)) {
        PrintCallFailed("QueryServiceStatusEx", GetLastError());
        return false;
    }
    return true;
}

enum class Outcome { changed, unchanged, halfChanged };

// The service's command line and the installer's record of it, changed together:
// a refused record puts the old command line back.
Outcome Change(Handles& handles, const RegisteredCommandLine& old, const char* newImagePath,
               const char* const numbers[commandLineArguments]) {
    if (!ChangeServiceConfigA(handles.service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                              SERVICE_NO_CHANGE, newImagePath, nullptr, nullptr, nullptr, nullptr,
                              nullptr, nullptr)) {
        PrintCallFailed("ChangeServiceConfigA", GetLastError());
        return Outcome::unchanged;
    }
    int written = 0;
    LONG error = WriteValues(handles.key, numbers, &written);
    if (error == ERROR_SUCCESS) {
        return Outcome::changed;
    }
    PrintCallFailed("RegSetValueExA", static_cast<DWORD>(error));
    bool undone = ChangeServiceConfigA(handles.service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                       SERVICE_NO_CHANGE, handles.config->lpBinaryPathName, nullptr,
                                       nullptr, nullptr, nullptr, nullptr, nullptr) != FALSE;
    if (!undone) {
        PrintCallFailed("ChangeServiceConfigA", GetLastError());
        std::printf("command line: %s (the new one stays)\n", newImagePath);
        return Outcome::halfChanged;
    }
    // The values written before the refusal go back to the old numbers, where
    // those are numbers the installer can read.
    bool valuesBack = written == 0;
    if (!valuesBack && old.wordCount == commandLineArguments) {
        bool plain = true;
        for (int i = 0; i < commandLineArguments; ++i) {
            plain = plain && IsPlainSettingNumber(old.words[i]);
        }
        int rewritten = 0;
        valuesBack = plain && WriteValues(handles.key, old.words, &rewritten) == ERROR_SUCCESS;
    }
    if (!valuesBack) {
        std::printf("command line: %s (put back)\n", handles.config->lpBinaryPathName);
        std::printf("registry: %d of the values in HKLM\\%s are new\n", written, settingsKey);
        return Outcome::halfChanged;
    }
    return Outcome::unchanged;
}

} // namespace

bool IsPlainSettingNumber(const char* text) {
    const char* digits = text[0] == '-' ? text + 1 : text;
    size_t length = std::strlen(digits);
    if (length == 0 || length > 5 || (digits[0] == '0' && (length > 1 || digits != text))) {
        return false;
    }
    long value = 0;
    for (size_t i = 0; i < length; ++i) {
        if (digits[i] < '0' || digits[i] > '9') {
            return false;
        }
        value = value * 10 + (digits[i] - '0');
    }
    return value <= 32767;
}

int RunServiceConfigure(const char* const numbers[commandLineArguments]) {
    for (int i = 0; i < commandLineArguments; ++i) {
        if (!IsPlainSettingNumber(numbers[i])) {
            std::printf("%s \"%s\" refused: a whole number from -32767 to 32767 is needed, in "
                        "digits with at most a leading minus and no leading zeros; nothing "
                        "changed\n",
                        valueNames[i], numbers[i]);
            return 2;
        }
    }
    if (!ModeIsKnown(ParseDecimal(numbers[1]))) {
        std::printf("MODE \"%s\" refused: the service takes 0, 1 or 2 only; nothing changed\n",
                    numbers[1]);
        return 2;
    }

    Handles handles;
    RegisteredCommandLine old;
    SERVICE_STATUS_PROCESS status = {};
    if (!OpenEverything(handles, &old, &status)) {
        std::puts("nothing changed");
        Release(handles);
        std::fflush(stdout);
        return 1;
    }
    char newImagePath[MAX_PATH + 64];
    std::snprintf(newImagePath, sizeof newImagePath, "\"%s\" %s %s %s %s %s", old.programPath,
                  numbers[0], numbers[1], numbers[2], numbers[3], numbers[4]);
    Outcome outcome = Change(handles, old, newImagePath, numbers);
    if (outcome != Outcome::changed) {
        if (outcome == Outcome::unchanged) {
            std::puts("nothing changed");
        }
        Release(handles);
        std::fflush(stdout);
        return 1;
    }
    char oldWords[256];
    JoinWords(old, oldWords, sizeof oldWords);
    std::printf("settings: %s -> %s %s %s %s %s\n", oldWords, numbers[0], numbers[1], numbers[2],
                numbers[3], numbers[4]);
    std::printf("command line: %s\n", newImagePath);
    std::printf("registry: HKLM\\%s: BUTTON=%s MODE=%s INVERTED=%s POLL_MS=%s CLICK_MS=%s\n",
                settingsKey, numbers[0], numbers[1], numbers[2], numbers[3], numbers[4]);
    std::fflush(stdout);
    int result = 0;
    if (status.dwCurrentState == SERVICE_RUNNING) {
        result = Restart(handles.service) ? 0 : 1;
    } else if (status.dwCurrentState == SERVICE_STOPPED) {
        std::puts("service: not running; the new settings apply at its next start");
    } else {
        std::printf("service: %s, not restarted; the new settings apply at its next start\n",
                    ServiceStateName(status.dwCurrentState));
    }
    Release(handles);
    std::fflush(stdout);
    return result;
}
