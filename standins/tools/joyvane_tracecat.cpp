// joyvane_tracecat [DURATION_MS]
//
// Prints what the processes of this Wine prefix (or Windows session) send with
// OutputDebugStringA, one call-log record (world/call_log.h) per line of text:
//
//   <unix_us> <qpc_us> <own pid> <own tid> OutputDebugStringA 1 0 pid=<writer> text=<line>
//
// It is a debug monitor in the DBWIN sense: it owns the shared buffer
// "DBWIN_BUFFER" (4 KiB: the writer's process id, then the text) and two
// auto-reset events. OutputDebugStringA in a writer waits for
// "DBWIN_BUFFER_READY", fills the buffer and signals "DBWIN_DATA_READY"; the
// monitor prints and hands the buffer back. Writers only look for the buffer
// when they send, so messages sent before the monitor started are lost.
//
// Runs for DURATION_MS milliseconds, or until killed when no duration is given.
// Once it owns the buffer it says "joyvane_tracecat: ready" on standard error.
// Exit status 0, or 2 when another monitor already owns the buffer.
#include "common/standin_log.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct DbwinBuffer {
    DWORD processId;
    char text[4096 - sizeof(DWORD)];
};

// A message may hold several lines; each is printed with the same stamp.
void PrintMessage(DWORD processId, const char* text) {
    world::CallRecord record = world::Called("OutputDebugStringA");
    standin::Stamp(record);
    const char* line = text;
    while (*line != '\0') {
        size_t length = std::strcspn(line, "\r\n");
        record.args.clear();
        record.Arg("pid", processId).Arg("text", std::string(line, length));
        std::printf("%s\n", world::CallLine(record).c_str());
        line += length;
        while (*line == '\r' || *line == '\n') {
            ++line;
        }
    }
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv) {
    const DWORD durationMs =
        argc > 1 ? static_cast<DWORD>(std::strtoul(argv[1], nullptr, 10)) : INFINITE;

    int status = 2;
    DbwinBuffer* buffer = nullptr;
    HANDLE mapping = nullptr;
    HANDLE bufferReady = CreateEventA(nullptr, FALSE, FALSE, "DBWIN_BUFFER_READY");
    const bool bufferReadyExisted = GetLastError() == ERROR_ALREADY_EXISTS;
    HANDLE dataReady = CreateEventA(nullptr, FALSE, FALSE, "DBWIN_DATA_READY");
    if (bufferReady == nullptr || dataReady == nullptr || bufferReadyExisted) {
        std::fprintf(stderr, "joyvane_tracecat: another debug monitor is running (error %lu)\n",
                     GetLastError());
        goto cleanup;
    }
    mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                 sizeof(DbwinBuffer), "DBWIN_BUFFER");
    if (mapping == nullptr) {
        std::fprintf(stderr, "joyvane_tracecat: CreateFileMappingA failed: %lu\n", GetLastError());
        goto cleanup;
    }
    buffer = static_cast<DbwinBuffer*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0));
    if (buffer == nullptr) {
        std::fprintf(stderr, "joyvane_tracecat: MapViewOfFile failed: %lu\n", GetLastError());
        goto cleanup;
    }

    // Tells a script that messages sent from now on are caught.
    std::fprintf(stderr, "joyvane_tracecat: ready\n");
    std::fflush(stderr);

    status = 0;
    {
        const ULONGLONG startMs = GetTickCount64();
        for (;;) {
            DWORD waitMs = INFINITE;
            if (durationMs != INFINITE) {
                const ULONGLONG elapsed = GetTickCount64() - startMs;
                if (elapsed >= durationMs) {
                    break;
                }
                waitMs = static_cast<DWORD>(durationMs - elapsed);
            }
            SetEvent(bufferReady);
            if (WaitForSingleObject(dataReady, waitMs) != WAIT_OBJECT_0) {
                continue;
            }
            // The writer may leave the text unterminated when it fills the buffer.
            char text[sizeof buffer->text + 1];
            std::memcpy(text, buffer->text, sizeof buffer->text);
            text[sizeof buffer->text] = '\0';
            PrintMessage(buffer->processId, text);
        }
    }

cleanup:
    if (buffer != nullptr) {
        UnmapViewOfFile(buffer);
    }
    if (mapping != nullptr) {
        CloseHandle(mapping);
    }
    if (dataReady != nullptr) {
        CloseHandle(dataReady);
    }
    if (bufferReady != nullptr) {
        CloseHandle(bufferReady);
    }
    return status;
}
