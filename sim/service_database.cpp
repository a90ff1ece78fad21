// The service control manager's database as a program that looks at or changes
// an installed service sees it: handles to the manager and to services, each
// with the rights it was opened with, and services whose state moves on the
// virtual clock after a stop or a start.
#include <algorithm>
#include <cstring>
#include <map>
#include <strings.h>

#include "sim/state.h"

namespace sim {
namespace {

struct ServiceEntry {
    InstalledService service;
    // A state change under way: the state it reaches, and when.
    bool pending = false;
    DWORD pendingState = 0;
    uint32_t pendingAt = 0;
};

struct ScHandleEntry {
    bool manager;
    std::string service; // a service handle's service
    DWORD access;
};

std::vector<ServiceEntry> services;
std::map<SC_HANDLE, ScHandleEntry> scHandles;
uintptr_t nextScHandle = 0x5000;
bool administrator = true;
DWORD nextProcessId = 0x1000;

// The rights Windows' default service security gives interactive users.
const DWORD userServiceRights = SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS |
                                SERVICE_ENUMERATE_DEPENDENTS | SERVICE_INTERROGATE |
                                SERVICE_USER_DEFINED_CONTROL | READ_CONTROL;
const DWORD userManagerRights = SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE;

ServiceEntry* FindService(const std::string& name) {
    for (ServiceEntry& entry : services) {
        if (strcasecmp(entry.service.name.c_str(), name.c_str()) == 0) {
            return &entry;
        }
    }
    return nullptr;
}

// Brings a pending change about once its time has come.
void UpdateLocked(ServiceEntry& entry) {
    if (!entry.pending || detail::NowLocked() < entry.pendingAt) {
        return;
    }
    entry.pending = false;
    InstalledService& service = entry.service;
    if (entry.pendingState == SERVICE_RUNNING && service.startExitCode != 0) {
        service.state = SERVICE_STOPPED;
        service.exitCode = service.startExitCode;
    } else {
        service.state = entry.pendingState;
    }
    service.processId = service.state == SERVICE_STOPPED ? 0 : service.processId;
}

SC_HANDLE NewScHandleLocked(ScHandleEntry entry) {
    SC_HANDLE handle = reinterpret_cast<SC_HANDLE>(nextScHandle);
    nextScHandle += 4;
    scHandles.emplace(handle, std::move(entry));
    return handle;
}

// The service behind a service handle opened with the right, or null with the
// error in *error.
ServiceEntry* ServiceOfLocked(SC_HANDLE handle, DWORD right, DWORD* error) {
    auto it = scHandles.find(handle);
    if (it == scHandles.end() || it->second.manager) {
        *error = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    if ((it->second.access & right) != right) {
        *error = ERROR_ACCESS_DENIED;
        return nullptr;
    }
    ServiceEntry* entry = FindService(it->second.service);
    if (entry == nullptr) {
        *error = ERROR_SERVICE_MARKED_FOR_DELETE;
        return nullptr;
    }
    UpdateLocked(*entry);
    return entry;
}

SERVICE_STATUS_PROCESS StatusOf(const InstalledService& service) {
    SERVICE_STATUS_PROCESS status = {};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = service.state;
    status.dwControlsAccepted =
        service.state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    status.dwWin32ExitCode = service.exitCode;
    status.dwServiceSpecificExitCode = service.specificExitCode;
    status.dwProcessId = service.processId;
    return status;
}

} // namespace

namespace detail {

void ResetServiceDatabaseLocked() {
    services.clear();
    scHandles.clear();
    nextScHandle = 0x5000;
    administrator = true;
    nextProcessId = 0x1000;
}

int ServiceHandlesLocked() {
    return static_cast<int>(scHandles.size());
}

bool AdministratorLocked() {
    return administrator;
}

} // namespace detail

void InstallService(InstalledService service) {
    std::lock_guard<std::mutex> guard(detail::Lock());
    if (service.state != SERVICE_STOPPED && service.processId == 0) {
        service.processId = nextProcessId++;
    }
    if (ServiceEntry* entry = FindService(service.name)) {
        entry->service = std::move(service);
        entry->pending = false;
        return;
    }
    services.push_back(ServiceEntry{std::move(service)});
}

std::optional<InstalledService> Service(const std::string& name) {
    std::lock_guard<std::mutex> guard(detail::Lock());
    ServiceEntry* entry = FindService(name);
    if (entry == nullptr) {
        return std::nullopt;
    }
    UpdateLocked(*entry);
    return entry->service;
}

void SetAdministrator(bool isAdministrator) {
    std::lock_guard<std::mutex> guard(detail::Lock());
    administrator = isAdministrator;
}

} // namespace sim

SC_HANDLE OpenSCManagerA(LPCSTR machineName, LPCSTR databaseName, DWORD access) {
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    SC_HANDLE handle = nullptr;
    if (DWORD error = sim::detail::FailureLocked("OpenSCManagerA", ERROR_ACCESS_DENIED)) {
        SetLastError(error);
    } else if (!sim::administrator && (access & ~sim::userManagerRights) != 0) {
        SetLastError(ERROR_ACCESS_DENIED);
    } else {
        handle = sim::NewScHandleLocked(sim::ScHandleEntry{true, "", access});
    }
    sim::detail::LogCallLocked(
        "OpenSCManagerA",
        {.result = sim::detail::HandleNumber(handle),
         .numbers = {access},
         .pointers = {sim::detail::PointerOf(machineName), sim::detail::PointerOf(databaseName)}});
    return handle;
}

SC_HANDLE OpenServiceA(SC_HANDLE manager, LPCSTR serviceName, DWORD access) {
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    SC_HANDLE handle = nullptr;
    auto it = sim::scHandles.find(manager);
    if (DWORD error = sim::detail::FailureLocked("OpenServiceA", ERROR_ACCESS_DENIED)) {
        SetLastError(error);
    } else if (it == sim::scHandles.end() || !it->second.manager) {
        SetLastError(ERROR_INVALID_HANDLE);
    } else if (sim::FindService(serviceName) == nullptr) {
        SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
    } else if (!sim::administrator && (access & ~sim::userServiceRights) != 0) {
        SetLastError(ERROR_ACCESS_DENIED);
    } else {
        handle = sim::NewScHandleLocked(sim::ScHandleEntry{false, serviceName, access});
    }
    sim::detail::LogCallLocked("OpenServiceA",
                               {.result = sim::detail::HandleNumber(handle),
                                .numbers = {sim::detail::HandleNumber(manager), access},
                                .strings = {serviceName}});
    return handle;
}

BOOL QueryServiceConfigA(SC_HANDLE service, LPQUERY_SERVICE_CONFIGA config, DWORD bufferSize,
                         LPDWORD bytesNeeded) {
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    BOOL result = FALSE;
    DWORD error = sim::detail::FailureLocked("QueryServiceConfigA", ERROR_INVALID_HANDLE);
    sim::ServiceEntry* entry =
        error != 0 ? nullptr : sim::ServiceOfLocked(service, SERVICE_QUERY_CONFIG, &error);
    if (entry != nullptr) {
        const sim::InstalledService& s = entry->service;
        // The record, then its strings: the path, an empty load order group, an
        // empty dependency list (two terminators), the account and the display name.
        DWORD needed = static_cast<DWORD>(sizeof(QUERY_SERVICE_CONFIGA) + s.imagePath.size() + 1 +
                                          1 + 2 + s.account.size() + 1 + s.name.size() + 1);
        *bytesNeeded = needed;
        if (bufferSize < needed || config == nullptr) {
            error = ERROR_INSUFFICIENT_BUFFER;
        } else {
            char* text = reinterpret_cast<char*>(config + 1);
            auto put = [&text](const std::string& value, size_t terminators) {
                char* start = text;
                std::memcpy(text, value.c_str(), value.size());
                std::memset(text + value.size(), 0, terminators);
                text += value.size() + terminators;
                return start;
            };
            config->dwServiceType = SERVICE_WIN32_OWN_PROCESS;
            config->dwStartType = s.startType;
            config->dwErrorControl = SERVICE_ERROR_NORMAL;
            config->lpBinaryPathName = put(s.imagePath, 1);
            config->lpLoadOrderGroup = put("", 1);
            config->dwTagId = 0;
            config->lpDependencies = put("", 2);
            config->lpServiceStartName = put(s.account, 1);
            config->lpDisplayName = put(s.name, 1);
            result = TRUE;
        }
    }
    if (!result) {
        SetLastError(error);
    }
    sim::detail::LogCallLocked("QueryServiceConfigA",
                               {.result = result,
                                .numbers = {sim::detail::HandleNumber(service), bufferSize},
                                .pointers = {sim::detail::PointerOf(config)}});
    return result;
}

BOOL QueryServiceStatusEx(SC_HANDLE service, SC_STATUS_TYPE level, LPBYTE buffer, DWORD bufferSize,
                          LPDWORD bytesNeeded) {
    sim::detail::Checkpoint("QueryServiceStatusEx");
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    BOOL result = FALSE;
    DWORD state = 0;
    DWORD error = sim::detail::FailureLocked("QueryServiceStatusEx", ERROR_INVALID_HANDLE);
    sim::ServiceEntry* entry =
        error != 0 ? nullptr : sim::ServiceOfLocked(service, SERVICE_QUERY_STATUS, &error);
    if (entry != nullptr) {
        *bytesNeeded = sizeof(SERVICE_STATUS_PROCESS);
        if (level != SC_STATUS_PROCESS_INFO) {
            error = ERROR_INVALID_PARAMETER;
        } else if (bufferSize < sizeof(SERVICE_STATUS_PROCESS) || buffer == nullptr) {
            error = ERROR_INSUFFICIENT_BUFFER;
        } else {
            SERVICE_STATUS_PROCESS status = sim::StatusOf(entry->service);
            std::memcpy(buffer, &status, sizeof status);
            state = status.dwCurrentState;
            result = TRUE;
        }
    }
    if (!result) {
        SetLastError(error);
    }
    sim::detail::LogCallLocked(
        "QueryServiceStatusEx",
        {.result = result,
         .numbers = {sim::detail::HandleNumber(service), level, bufferSize, state}});
    return result;
}

BOOL ChangeServiceConfigA(SC_HANDLE service, DWORD serviceType, DWORD startType, DWORD errorControl,
                          LPCSTR binaryPathName, LPCSTR loadOrderGroup, LPDWORD tagId,
                          LPCSTR dependencies, LPCSTR serviceStartName, LPCSTR password,
                          LPCSTR displayName) {
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    BOOL result = FALSE;
    DWORD error = sim::detail::FailureLocked("ChangeServiceConfigA", ERROR_ACCESS_DENIED);
    sim::ServiceEntry* entry =
        error != 0 ? nullptr : sim::ServiceOfLocked(service, SERVICE_CHANGE_CONFIG, &error);
    if (entry != nullptr) {
        sim::InstalledService& s = entry->service;
        if (serviceType != SERVICE_NO_CHANGE && serviceType != SERVICE_WIN32_OWN_PROCESS) {
            error = ERROR_INVALID_PARAMETER;
        } else if (startType != SERVICE_NO_CHANGE && startType > SERVICE_DISABLED) {
            error = ERROR_INVALID_PARAMETER;
        } else {
            if (startType != SERVICE_NO_CHANGE) {
                s.startType = startType;
            }
            if (binaryPathName != nullptr) {
                s.imagePath = binaryPathName;
            }
            if (serviceStartName != nullptr) {
                s.account = serviceStartName;
            }
            result = TRUE;
        }
    }
    if (!result) {
        SetLastError(error);
    }
    sim::detail::LogCallLocked(
        "ChangeServiceConfigA",
        {.result = result,
         .numbers = {sim::detail::HandleNumber(service), serviceType, startType, errorControl},
         .pointers = {sim::detail::PointerOf(loadOrderGroup), sim::detail::PointerOf(tagId),
                      sim::detail::PointerOf(dependencies),
                      sim::detail::PointerOf(serviceStartName), sim::detail::PointerOf(password),
                      sim::detail::PointerOf(displayName)},
         .strings = {binaryPathName != nullptr ? binaryPathName : "(null)"}});
    return result;
}

BOOL ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status) {
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    BOOL result = FALSE;
    DWORD error = sim::detail::FailureLocked("ControlService", ERROR_ACCESS_DENIED);
    DWORD right = control == SERVICE_CONTROL_STOP ? SERVICE_STOP : SERVICE_INTERROGATE;
    sim::ServiceEntry* entry = error != 0 ? nullptr : sim::ServiceOfLocked(service, right, &error);
    if (entry != nullptr) {
        sim::InstalledService& s = entry->service;
        if (control != SERVICE_CONTROL_STOP) {
            error = ERROR_INVALID_PARAMETER;
        } else if (s.state == SERVICE_STOPPED) {
            error = ERROR_SERVICE_NOT_ACTIVE;
        } else if (s.state != SERVICE_RUNNING) {
            error = ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
        } else {
            s.state = SERVICE_STOP_PENDING;
            entry->pending = s.answersStop;
            entry->pendingState = SERVICE_STOPPED;
            entry->pendingAt = sim::detail::NowLocked() + s.stopMs;
            s.exitCode = 0;
            result = TRUE;
        }
        SERVICE_STATUS_PROCESS current = sim::StatusOf(s);
        std::memcpy(status, &current, sizeof *status);
    }
    if (!result) {
        SetLastError(error);
    }
    sim::detail::LogCallLocked(
        "ControlService",
        {.result = result, .numbers = {sim::detail::HandleNumber(service), control}});
    return result;
}

BOOL StartServiceA(SC_HANDLE service, DWORD argumentCount, LPCSTR* arguments) {
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    BOOL result = FALSE;
    DWORD error = sim::detail::FailureLocked("StartServiceA", ERROR_ACCESS_DENIED);
    sim::ServiceEntry* entry =
        error != 0 ? nullptr : sim::ServiceOfLocked(service, SERVICE_START, &error);
    if (entry != nullptr) {
        sim::InstalledService& s = entry->service;
        if (s.state != SERVICE_STOPPED) {
            error = ERROR_SERVICE_ALREADY_RUNNING;
        } else if (s.startType == SERVICE_DISABLED) {
            error = ERROR_SERVICE_DISABLED;
        } else {
            s.state = SERVICE_START_PENDING;
            s.exitCode = 0;
            s.processId = sim::nextProcessId++;
            entry->pending = true;
            entry->pendingState = SERVICE_RUNNING;
            entry->pendingAt = sim::detail::NowLocked() + s.startMs;
            result = TRUE;
        }
    }
    if (!result) {
        SetLastError(error);
    }
    sim::detail::LogCallLocked("StartServiceA",
                               {.result = result,
                                .numbers = {sim::detail::HandleNumber(service), argumentCount},
                                .pointers = {sim::detail::PointerOf(arguments)}});
    return result;
}

BOOL CloseServiceHandle(SC_HANDLE handle) {
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    BOOL closed = FALSE;
    if (DWORD error = sim::detail::FailureLocked("CloseServiceHandle", ERROR_INVALID_HANDLE)) {
        SetLastError(error);
    } else if (sim::scHandles.erase(handle) == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
    } else {
        closed = TRUE;
    }
    sim::detail::LogCallLocked("CloseServiceHandle",
                               {.result = closed, .numbers = {sim::detail::HandleNumber(handle)}});
    return closed;
}
