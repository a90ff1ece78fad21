// Progress and worker-level failures. Each call becomes one line of debug output
// (OutputDebugStringA), so a running service can be watched with a debug-output
// viewer; nothing is written anywhere else.
#pragma once

#include <atomic>
#include <cstdint>

// The console runner shows the trace lines on its console as well.
extern std::atomic<bool> traceToConsole;

void TraceMessage(const char* text);
void TraceCode(int32_t code);
