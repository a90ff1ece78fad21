// The clock and file plumbing of the stand-ins' logs: each record of the call
// log (world/call_log.h) gets the four common columns here and goes, as one
// line, to a text file that a reader may tail while the writer runs; the logs
// of several DLLs and processes merge by sorting on the first column.
//
// unix_us  wall clock, microseconds since 1970-01-01 UTC (GetSystemTimePreciseAsFileTime).
//          Under Wine this is the Linux CLOCK_REALTIME, the same clock that
//          `date +%s%6N` reads in a test script.
// qpc_us   QueryPerformanceCounter in microseconds: monotonic and machine-wide.
#pragma once

#include <windows.h>

// For __MINGW_PRINTF_FORMAT: the format family of the C library's vsnprintf that
// LogLine uses (gnu_printf for GCC, printf for clang, which has no gnu_printf).
#include <cstdio>

#include <cstdint>

#include "world/call_log.h"

namespace standin {

// Microseconds since the Unix epoch: the time base common to all stand-in logs.
std::int64_t UnixMicros();

// QueryPerformanceCounter converted to microseconds.
std::int64_t QpcMicros();

// Fills `path` with the directory of `module` followed by `fileName`.
// Returns false when the result would not fit.
bool PathBesideModule(HMODULE module, const char* fileName, char* path, DWORD size);

// Opens (creating if needed) a log for appending. Every line is one WriteFile on
// a handle opened with FILE_APPEND_DATA, which Wine maps to O_APPEND: lines
// written by several threads or processes never interleave, and nothing is
// buffered in the process, so a reader sees each line as soon as it is written.
// The share flags let readers tail, and let a test truncate or delete the file.
HANDLE OpenAppendLog(const char* path);

// Fills the record's four common columns: both clocks, this process and thread.
world::CallRecord& Stamp(world::CallRecord& record);
// Appends the record, stamped, as one line. Does nothing when `log` is
// INVALID_HANDLE_VALUE.
void Write(HANDLE log, world::CallRecord record);

} // namespace standin
