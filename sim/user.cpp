// The user-facing calls: message boxes (answered at once with OK) and the debug
// output that a debug-output viewer would show.
#include <string>
#include <vector>

#include "sim/state.h"

namespace sim {
namespace {

std::vector<std::string> debugLines;

} // namespace

namespace detail {

void ResetUserLocked() {
    debugLines.clear();
}

} // namespace detail

std::vector<std::string> DebugLines() {
    std::lock_guard<std::mutex> guard(detail::Lock());
    return debugLines;
}

} // namespace sim

int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    sim::detail::LogLocked("MessageBoxA", "%p \"%s\" \"%s\" 0x%x -> 1", owner, text, caption, type);
    return 1; // IDOK
}

void OutputDebugStringA(LPCSTR text) {
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    std::string line(text);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
        line.pop_back();
    }
    sim::debugLines.push_back(line);
    sim::detail::LogLocked("OutputDebugStringA", "\"%s\"", line.c_str());
}
