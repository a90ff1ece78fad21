#include "platform/diagnostics.h"

#include <cstdio>
#include <cstring>

#include "platform/win32.h"

std::atomic<bool> traceToConsole{false};

namespace {

// Every line carries the program's name so that it can be picked out among the
// debug output of the whole machine.
const char tracePrefix[] = "ZUR Joyvane: ";

void Emit(const char* line) {
    OutputDebugStringA(line);
    if (traceToConsole.load()) {
        std::fputs(line, stdout);
        std::fflush(stdout);
    }
}

} // namespace

void TraceMessage(const char* text) {
    // Some messages begin with a line feed of their own, to stand apart; it is kept,
    // ahead of the name, so that every line with text still begins with the name.
    size_t feeds = std::strspn(text, "\n");
    // Room for a message that names a full path.
    char line[512];
    std::snprintf(line, sizeof line, "%.*s%s%s\n", static_cast<int>(feeds), text, tracePrefix,
                  text + feeds);
    Emit(line);
}

void TraceCode(int32_t code) {
    char line[64];
    std::snprintf(line, sizeof line, "%s%ld\n", tracePrefix, static_cast<long>(code));
    Emit(line);
}

void PrintDeviceLine(const char* line) {
    std::fputs(line, stdout);
    std::fflush(stdout);
    // A service has no standard output: the same line goes to the trace, where it
    // is told from the trace's own lines (several of which also begin "Error:") by
    // "device: ". Its text follows unchanged, spaces and all, so that a search for
    // what the console shows finds it. Not through Emit: the console runner shows
    // the line once, above.
    size_t length = std::strlen(line);
    bool ended = length > 0 && line[length - 1] == '\n';
    char traced[320];
    std::snprintf(traced, sizeof traced, "%sdevice: %.*s\n", tracePrefix,
                  static_cast<int>(ended ? length - 1 : length), line);
    OutputDebugStringA(traced);
}
