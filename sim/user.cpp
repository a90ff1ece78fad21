// The user-facing calls: message boxes (answered at once with OK) and the debug
// output that a debug-output viewer would show.
#include <string>
#include <vector>

#include "sim/state.h"

namespace sim {
namespace {

std::vector<std::string> debugLines;
std::vector<PHANDLER_ROUTINE> consoleHandlers;

} // namespace

namespace detail {

void ResetUserLocked() {
    debugLines.clear();
    consoleHandlers.clear();
}

} // namespace detail

std::vector<std::string> DebugLines() {
    std::lock_guard<std::mutex> guard(detail::Lock());
    return debugLines;
}

bool PressConsoleControl(DWORD controlType) {
    std::vector<PHANDLER_ROUTINE> handlers;
    {
        std::lock_guard<std::mutex> guard(detail::Lock());
        detail::LogCallLocked("(console control)", {.numbers = {controlType}}, "%u", controlType);
        handlers = consoleHandlers;
    }
    for (auto handler = handlers.rbegin(); handler != handlers.rend(); ++handler) {
        if ((*handler)(controlType)) {
            return true;
        }
    }
    return false;
}

} // namespace sim

BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add) {
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    BOOL done = TRUE;
    // Removing a handler that is not installed is refused with ERROR_INVALID_PARAMETER;
    // an add fails only when there is no memory for it.
    if (DWORD error = sim::detail::FailureLocked(
            "SetConsoleCtrlHandler", add ? ERROR_NOT_ENOUGH_MEMORY : ERROR_INVALID_PARAMETER)) {
        SetLastError(error);
        done = FALSE;
    } else if (add) {
        sim::consoleHandlers.push_back(handler);
    } else {
        std::erase(sim::consoleHandlers, handler);
    }
    sim::detail::LogCallLocked(
        "SetConsoleCtrlHandler",
        {.result = done,
         .numbers = {add},
         .pointers = {sim::detail::PointerOf(reinterpret_cast<const void*>(handler))}},
        "%s -> %d", add ? "add" : "remove", done);
    return done;
}

int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    int answer = 1; // IDOK
    if (DWORD error = sim::detail::FailureLocked("MessageBoxA", ERROR_NOT_ENOUGH_MEMORY)) {
        SetLastError(error);
        answer = 0;
    }
    sim::detail::LogCallLocked("MessageBoxA",
                               {.result = answer,
                                .numbers = {type},
                                .pointers = {sim::detail::PointerOf(owner)},
                                .strings = {text, caption}},
                               "%p \"%s\" \"%s\" 0x%x -> %d", owner, text, caption, type, answer);
    return answer;
}

void OutputDebugStringA(LPCSTR text) {
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    std::string line(text);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
        line.pop_back();
    }
    sim::debugLines.push_back(line);
    sim::detail::LogCallLocked("OutputDebugStringA", {.strings = {line}}, "\"%s\"", line.c_str());
}
