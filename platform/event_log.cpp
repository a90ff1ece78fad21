#include "platform/event_log.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "messages.h"
#include "platform/diagnostics.h"

namespace {

constexpr wchar_t sourceName[] = L"Joyvane";
// One logged loss a minute at most: an hour of a device that comes and goes
// every second is 60 losses and 60 connections in the log.
constexpr DWORD lossIntervalMs = 60000;

std::atomic<HANDLE> eventLog{nullptr};
// A refusal is traced once; a log that refuses one event will refuse the next.
std::atomic<bool> refusalTraced{false};

// The device and joystick state below is touched by the worker thread only.
bool deviceEverConnected = false;
bool lossLogged = false;  // the last device event was a loss
bool lossPending = false; // a loss not yet logged
DWORD lastLossLoggedAt = 0;
bool anyLossLogged = false;
long long lossesSinceEvent = 0;
char pendingCall[64] = "";
long long pendingResult = 0;

enum class JoystickEvent { none, found, notFound, refused };
std::atomic<JoystickEvent> lastJoystickEvent{JoystickEvent::none};

// line: the trace's text, with the error at its end.
void TraceRefusal(const char* line, DWORD error) {
    if (refusalTraced.exchange(true)) {
        return;
    }
    char text[128];
    std::snprintf(text, sizeof text, "%s: error %lu", line, static_cast<unsigned long>(error));
    TraceMessage(text);
}

// The event's type from its severity, the two top bits of the id.
WORD EventType(DWORD id) {
    switch (id >> 30) {
    case 3:
        return EVENTLOG_ERROR_TYPE;
    case 2:
        return EVENTLOG_WARNING_TYPE;
    default:
        return EVENTLOG_INFORMATION_TYPE;
    }
}

} // namespace

bool OpenEventLog() {
    HANDLE log = RegisterEventSourceW(nullptr, sourceName);
    if (log == nullptr) {
        TraceRefusal("Event Log refused the source Joyvane", GetLastError());
        return false;
    }
    eventLog.store(log);
    return true;
}

void CloseEventLog() {
    HANDLE log = eventLog.exchange(nullptr);
    if (log != nullptr) {
        DeregisterEventSource(log);
    }
}

void ResetEventLog() {
    eventLog.store(nullptr);
    refusalTraced.store(false);
    deviceEverConnected = false;
    lossLogged = false;
    lossPending = false;
    lastLossLoggedAt = 0;
    anyLossLogged = false;
    lossesSinceEvent = 0;
    pendingCall[0] = '\0';
    pendingResult = 0;
    lastJoystickEvent.store(JoystickEvent::none);
}

namespace {

void Report(DWORD id, const char* const* strings, size_t count) {
    HANDLE log = eventLog.load();
    if (log == nullptr) {
        return;
    }
    // Each string converted into its own buffer, cut to MAX_PATH characters: a
    // device or library path from outside never runs past it.
    constexpr size_t most = 8;
    WCHAR texts[most][MAX_PATH + 1];
    LPCWSTR pointers[most];
    WORD used = 0;
    for (; used < count && used < most; ++used) {
        const char* text = strings[used] != nullptr ? strings[used] : "";
        int length = static_cast<int>(strnlen(text, MAX_PATH));
        int converted =
            length > 0 ? MultiByteToWideChar(CP_ACP, 0, text, length, texts[used], MAX_PATH) : 0;
        texts[used][converted > 0 ? converted : 0] = 0;
        pointers[used] = texts[used];
    }
    if (!ReportEventW(log, EventType(id), 0, id, nullptr, used, 0, used > 0 ? pointers : nullptr,
                      nullptr)) {
        const DWORD error = GetLastError();
        char line[64];
        std::snprintf(line, sizeof line, "Event Log refused event 0x%08lX",
                      static_cast<unsigned long>(id));
        TraceRefusal(line, error);
    }
}

void ReportNumbers(DWORD id, const long long* numbers, size_t count, const char* last) {
    char texts[8][24];
    const char* pointers[8];
    size_t used = 0;
    for (; used < count && used < 7; ++used) {
        std::snprintf(texts[used], sizeof texts[used], "%lld", numbers[used]);
        pointers[used] = texts[used];
    }
    if (last != nullptr) {
        pointers[used++] = last;
    }
    Report(id, pointers, used);
}

// A held-back loss, logged once its minute is over and the device is still away.
void LogPendingLoss() {
    const DWORD now = GetTickCount();
    if (!lossPending || (anyLossLogged && now - lastLossLoggedAt < lossIntervalMs)) {
        return;
    }
    char result[24];
    std::snprintf(result, sizeof result, "%lld", pendingResult);
    char count[24];
    std::snprintf(count, sizeof count, "%lld", lossesSinceEvent);
    LogEvent(MSG_DEVICE_LOST, {pendingCall, result, count});
    lossPending = false;
    lossLogged = true;
    anyLossLogged = true;
    lastLossLoggedAt = now;
    lossesSinceEvent = 0;
}

} // namespace

void LogEvent(DWORD id, std::initializer_list<const char*> strings) {
    Report(id, strings.begin(), strings.size());
}

void LogEventNumbers(DWORD id, std::initializer_list<long long> numbers) {
    ReportNumbers(id, numbers.begin(), numbers.size(), nullptr);
}

void LogServiceStarted(const int32_t (&numbers)[5]) {
    // The account the service runs as: which rights it has to the devices.
    WCHAR wide[257] = {};
    DWORD size = 257;
    char account[257] = "?";
    if (GetUserNameW(wide, &size)) {
        size_t i = 0;
        for (; wide[i] != 0 && i + 1 < sizeof account; ++i) {
            account[i] = wide[i] < 128 ? static_cast<char>(wide[i]) : '?';
        }
        account[i] = '\0';
    }
    const long long values[5] = {numbers[0], numbers[1], numbers[2], numbers[3], numbers[4]};
    ReportNumbers(MSG_SERVICE_STARTED, values, 5, account);
}

void LogCaptureDeviceConnected() {
    if (!deviceEverConnected || lossLogged) {
        LogEvent(MSG_DEVICE_CONNECTED, {"0"});
    }
    deviceEverConnected = true;
    lossLogged = false;
}

void LogCaptureDeviceLost(const char* failedCall, long long result) {
    ++lossesSinceEvent;
    lossPending = true;
    std::snprintf(pendingCall, sizeof pendingCall, "%s", failedCall);
    pendingResult = result;
    LogPendingLoss();
}

void LogCaptureDeviceAbsent() {
    LogPendingLoss();
}

void LogJoystickFound(const char* devicePath) {
    if (lastJoystickEvent.exchange(JoystickEvent::found) != JoystickEvent::found) {
        LogEvent(MSG_JOYSTICK_FOUND, {devicePath});
    }
}

void LogJoystickNotFound(const char* hardwareId) {
    if (lastJoystickEvent.exchange(JoystickEvent::notFound) != JoystickEvent::notFound) {
        LogEvent(MSG_JOYSTICK_NOT_FOUND, {hardwareId});
    }
}

void LogJoystickRefused(DWORD error) {
    lastJoystickEvent.store(JoystickEvent::refused);
    LogEventNumbers(MSG_JOYSTICK_REFUSED, {static_cast<long long>(error)});
}
