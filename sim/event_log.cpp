// The event log as a program reports to it, the account name, the tick count and
// the code page conversion the reports need.
#include <map>

#include "sim/state.h"

namespace sim {
namespace {

std::vector<LoggedEvent> events;
// Open event log handles: the source each was registered under.
std::map<HANDLE, std::string> sources;
uintptr_t nextSource = 0x9000;
std::string userName = "SYSTEM";

std::string Narrow(LPCWSTR text) {
    std::string narrow;
    for (; text != nullptr && *text != 0; ++text) {
        narrow.push_back(static_cast<char>(*text < 256 ? *text : '?'));
    }
    return narrow;
}

} // namespace

namespace detail {

void ResetEventLogLocked() {
    events.clear();
    sources.clear();
    nextSource = 0x9000;
    userName = "SYSTEM";
}

} // namespace detail

std::vector<LoggedEvent> LoggedEvents() {
    std::lock_guard<std::mutex> guard(detail::Lock());
    return events;
}

int OpenEventSources() {
    std::lock_guard<std::mutex> guard(detail::Lock());
    return static_cast<int>(sources.size());
}

void SetUserName(const std::string& name) {
    std::lock_guard<std::mutex> guard(detail::Lock());
    userName = name;
}

} // namespace sim

int MultiByteToWideChar(UINT, DWORD, LPCSTR text, int length, LPWSTR wide, int wideLength) {
    // length -1: the text and its terminator, as Windows counts it.
    const size_t count =
        length < 0 ? std::char_traits<char>::length(text) + 1 : static_cast<size_t>(length);
    if (wideLength == 0) {
        return static_cast<int>(count);
    }
    if (count > static_cast<size_t>(wideLength)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    for (size_t i = 0; i < count; ++i) {
        wide[i] = static_cast<WCHAR>(static_cast<unsigned char>(text[i]));
    }
    return static_cast<int>(count);
}

BOOL GetUserNameW(LPWSTR buffer, LPDWORD size) {
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    // The size counts characters, terminator included, in both directions.
    const DWORD needed = static_cast<DWORD>(sim::userName.size() + 1);
    if (DWORD error = sim::detail::FailureLocked("GetUserNameW", ERROR_ACCESS_DENIED)) {
        SetLastError(error);
        return FALSE;
    }
    if (buffer == nullptr || *size < needed) {
        *size = needed;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    for (size_t i = 0; i < sim::userName.size(); ++i) {
        buffer[i] = static_cast<WCHAR>(static_cast<unsigned char>(sim::userName[i]));
    }
    buffer[needed - 1] = 0;
    *size = needed;
    return TRUE;
}

HANDLE RegisterEventSourceW(LPCWSTR, LPCWSTR sourceName) {
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    if (DWORD error =
            sim::detail::FailureLocked("RegisterEventSourceW", RPC_S_SERVER_UNAVAILABLE)) {
        SetLastError(error);
        return nullptr;
    }
    HANDLE handle = reinterpret_cast<HANDLE>(sim::nextSource++);
    sim::sources[handle] = sim::Narrow(sourceName);
    return handle;
}

BOOL ReportEventW(HANDLE eventLog, WORD type, WORD, DWORD eventId, PSID, WORD stringCount, DWORD,
                  LPCWSTR* strings, LPVOID) {
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    auto source = sim::sources.find(eventLog);
    DWORD error = sim::detail::FailureLocked("ReportEventW", ERROR_INVALID_HANDLE);
    if (error == 0 && source == sim::sources.end()) {
        error = ERROR_INVALID_HANDLE;
    }
    if (error != 0) {
        SetLastError(error);
        return FALSE;
    }
    sim::LoggedEvent event{sim::detail::NowLocked(), source->second, type, eventId, {}};
    for (WORD i = 0; i < stringCount; ++i) {
        event.strings.push_back(sim::Narrow(strings[i]));
    }
    sim::events.push_back(std::move(event));
    return TRUE;
}

BOOL DeregisterEventSource(HANDLE eventLog) {
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    DWORD error = sim::detail::FailureLocked("DeregisterEventSource", ERROR_INVALID_HANDLE);
    if (error == 0 && sim::sources.erase(eventLog) == 0) {
        error = ERROR_INVALID_HANDLE;
    }
    if (error != 0) {
        SetLastError(error);
        return FALSE;
    }
    return TRUE;
}
