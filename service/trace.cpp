#include "service/trace.h"

#include <cstdio>

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
    // Some messages begin with a line feed of their own; one call is one line.
    while (*text == '\n') {
        ++text;
    }
    char line[256];
    std::snprintf(line, sizeof line, "%s%s\n", tracePrefix, text);
    Emit(line);
}

void TraceCode(int32_t code) {
    char line[64];
    std::snprintf(line, sizeof line, "%s%ld\n", tracePrefix, static_cast<long>(code));
    Emit(line);
}
