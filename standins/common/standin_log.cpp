#include "common/standin_log.h"

#include <cstdio>
#include <string>

namespace standin {

std::int64_t UnixMicros() {
    // FILETIME counts 100 ns ticks since 1601-01-01; the Unix epoch is
    // 11644473600 s later.
    FILETIME ft;
    GetSystemTimePreciseAsFileTime(&ft);
    ULARGE_INTEGER ticks;
    ticks.LowPart = ft.dwLowDateTime;
    ticks.HighPart = ft.dwHighDateTime;
    return static_cast<std::int64_t>(ticks.QuadPart / 10) - 11644473600000000LL;
}

std::int64_t QpcMicros() {
    LARGE_INTEGER frequency;
    LARGE_INTEGER counter;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counter);
    // Split to avoid overflowing 64 bits for counters that run for days.
    const std::int64_t seconds = counter.QuadPart / frequency.QuadPart;
    const std::int64_t rest = counter.QuadPart % frequency.QuadPart;
    return seconds * 1000000 + rest * 1000000 / frequency.QuadPart;
}

bool PathBesideModule(HMODULE module, const char* fileName, char* path, DWORD size) {
    const DWORD length = GetModuleFileNameA(module, path, size);
    if (length == 0 || length >= size) {
        return false;
    }
    char* slash = path + length;
    while (slash > path && slash[-1] != '\\' && slash[-1] != '/') {
        --slash;
    }
    const int written =
        std::snprintf(slash, size - static_cast<DWORD>(slash - path), "%s", fileName);
    return written >= 0 && static_cast<DWORD>(slash - path) + static_cast<DWORD>(written) < size;
}

HANDLE OpenAppendLog(const char* path) {
    return CreateFileA(path, FILE_APPEND_DATA,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

world::CallRecord& Stamp(world::CallRecord& record) {
    record.unixUs = UnixMicros();
    record.monoUs = QpcMicros();
    record.pid = GetCurrentProcessId();
    record.tid = GetCurrentThreadId();
    return record;
}

void Write(HANDLE log, world::CallRecord record) {
    if (log == INVALID_HANDLE_VALUE) {
        return;
    }
    const std::string line = world::CallLine(Stamp(record)) + "\n";
    DWORD written = 0;
    WriteFile(log, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

} // namespace standin
