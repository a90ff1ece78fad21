// What the program tells about itself, below every subsystem.
//
// Progress and worker-level failures go to the trace: each call becomes one line of
// debug output (OutputDebugStringA), so a running service can be watched with a
// debug-output viewer. Device-level failures are lines on standard output, which
// the console runner shows; each also reaches the trace, which is all a service has.
#pragma once

#include <atomic>
#include <cstdint>

// The console runner shows the trace lines on its console as well.
extern std::atomic<bool> traceToConsole;

void TraceMessage(const char* text);
void TraceCode(int32_t code);

// Writes one diagnostic line to standard output at once, and the same text to the
// trace as "ZUR Joyvane: device: " and the line.
void PrintDeviceLine(const char* line);
