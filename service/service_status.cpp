#include "service/service_status.h"

#include <cstdio>
#include <cstring>

#include "platform/win32.h"
#include "service/error_text.h"
#include "service/file_version.h"
#include "service/registered_command_line.h"
#include "usbio/usbio_api.h"

namespace {

const char* StartTypeName(DWORD startType) {
    switch (startType) {
    case SERVICE_BOOT_START:
        return "at boot";
    case SERVICE_SYSTEM_START:
        return "with the system";
    case SERVICE_AUTO_START:
        return "automatic";
    case SERVICE_DEMAND_START:
        return "on demand";
    case SERVICE_DISABLED:
        return "disabled";
    default:
        return "unknown";
    }
}

// What the exit codes that the service leaves when it stops by itself mean for it.
// (A missing or unusable capture library is no such code: the service waits for it.)
const char* ServiceMeaning(DWORD exitCode) {
    switch (exitCode) {
    case ERROR_INVALID_PARAMETER:
        return ": a mode other than 0, 1 or 2, or fewer than five numbers";
    case ERROR_MOD_NOT_FOUND:
        return ": hid.dll or winmm.dll missing from System32";
    case ERROR_PROC_NOT_FOUND:
        return ": a function missing from hid.dll or winmm.dll";
    case ERROR_BAD_EXE_FORMAT:
        return ": hid.dll or winmm.dll of System32 is no 32-bit DLL";
    case ERROR_NOT_ENOUGH_MEMORY:
        return ": Windows refused the service an event or its thread";
    default:
        return "";
    }
}

void Print(const char* label, const char* text) {
    std::printf("%s: %s\n", label, text);
}

void PrintCallFailed(const char* call, DWORD error) {
    char text[96];
    FormatError(error, text, sizeof text);
    std::printf("%s failed: %s\n", call, text);
}

void PrintStatus(const SERVICE_STATUS_PROCESS& status) {
    char line[160];
    if (status.dwProcessId != 0) {
        std::snprintf(line, sizeof line, "%s, process %lu", ServiceStateName(status.dwCurrentState),
                      static_cast<unsigned long>(status.dwProcessId));
    } else {
        std::snprintf(line, sizeof line, "%s", ServiceStateName(status.dwCurrentState));
    }
    std::printf("service \"%s\": %s\n", installedServiceName, line);
    DWORD exitCode = status.dwWin32ExitCode;
    const char* words = ErrorText(exitCode);
    if (exitCode == ERROR_SERVICE_SPECIFIC_ERROR) {
        std::snprintf(line, sizeof line, "%lu (%s %lu)", static_cast<unsigned long>(exitCode),
                      words, static_cast<unsigned long>(status.dwServiceSpecificExitCode));
    } else if (words[0] != '\0') {
        std::snprintf(line, sizeof line, "%lu (%s%s)", static_cast<unsigned long>(exitCode), words,
                      ServiceMeaning(exitCode));
    } else {
        std::snprintf(line, sizeof line, "%lu", static_cast<unsigned long>(exitCode));
    }
    Print("exit code", line);
}

void PrintProgram(const RegisteredCommandLine& commandLine) {
    char line[2 * MAX_PATH + 96];
    uint16_t version[4];
    DWORD error = ReadFileVersion(commandLine.programPath, version);
    if (error == 0) {
        std::snprintf(line, sizeof line, "%s, version %u.%u.%u.%u", commandLine.programPath,
                      version[0], version[1], version[2], version[3]);
    } else {
        char text[96];
        FormatError(error, text, sizeof text);
        std::snprintf(line, sizeof line, "%s: %s", commandLine.programPath, text);
    }
    Print("program", line);

    char folder[MAX_PATH];
    char library[MAX_PATH];
    ProgramFolder(commandLine, folder, sizeof folder);
    int found = LocateUsbIoLibrary(folder, library, sizeof library);
    if (found) {
        Print("capture library", library);
    } else if (library[0] != '\0') {
        std::snprintf(line, sizeof line, "%s: missing: put the 32-bit %s there, or in System32",
                      library, usbIoLibraryName);
        Print("capture library", line);
    } else {
        Print("capture library", "the program's folder is too long to name");
    }
}

void PrintConfiguration(const QUERY_SERVICE_CONFIGA& config) {
    char line[MAX_PATH + 96];
    std::snprintf(line, sizeof line, "%s, as %s", StartTypeName(config.dwStartType),
                  config.lpServiceStartName != nullptr ? config.lpServiceStartName : "?");
    Print("start", line);
    const char* imagePath = config.lpBinaryPathName != nullptr ? config.lpBinaryPathName : "";
    Print("command line", imagePath);
    RegisteredCommandLine commandLine;
    if (!ParseRegisteredCommandLine(imagePath, &commandLine)) {
        Print("settings", "the command line cannot be taken apart: no program path ending in .exe");
        return;
    }
    if (!commandLine.quoted && std::strpbrk(commandLine.programPath, " \t") != nullptr) {
        // Windows hands the command line over as it is registered: the
        // program's C runtime then takes the words of its path for its first
        // numbers. (Wine quotes the path when it starts the program.)
        Print("warning",
              "the program's path is not quoted, so on Windows the service takes the words of "
              "its path for its first numbers; --configure writes it quoted");
    }
    char settings[192];
    DescribeSettings(commandLine.words, commandLine.wordCount, settings, sizeof settings);
    Print("settings", settings);
    PrintProgram(commandLine);
}

} // namespace

int RunServiceStatus() {
    int result = 3;
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = nullptr;
    QUERY_SERVICE_CONFIGA* config = nullptr;
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    if (manager == nullptr) {
        PrintCallFailed("OpenSCManagerA", GetLastError());
    } else if ((service = OpenServiceA(manager, installedServiceName,
                                       SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS)) == nullptr) {
        DWORD error = GetLastError();
        if (error == ERROR_SERVICE_DOES_NOT_EXIST) {
            std::printf("service \"%s\": not installed\n", installedServiceName);
            result = 2;
        } else {
            PrintCallFailed("OpenServiceA", error);
        }
    } else if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO,
                                     reinterpret_cast<LPBYTE>(&status), sizeof status, &needed)) {
        PrintCallFailed("QueryServiceStatusEx", GetLastError());
    } else {
        PrintStatus(status);
        result = status.dwCurrentState == SERVICE_RUNNING ? 0 : 1;
        if (DWORD error = QueryServiceConfiguration(service, &config)) {
            PrintCallFailed("QueryServiceConfigA", error);
        } else {
            PrintConfiguration(*config);
            LocalFree(config);
        }
    }
    if (service != nullptr) {
        CloseServiceHandle(service);
    }
    if (manager != nullptr) {
        CloseServiceHandle(manager);
    }
    std::fflush(stdout);
    return result;
}
