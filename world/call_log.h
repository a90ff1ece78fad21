// The call log: one line per call that the world answered (or per event of the
// stand-ins' lives), in one format for the host run and for every stand-in
// under Wine, so that one reader serves them all:
//
//   UNIX_US MONO_US PID TID CALL RESULT ERROR [NAME=VALUE ...]
//
// UNIX_US is the wall clock in microseconds since 1970 (under Wine the Linux
// CLOCK_REALTIME a test script reads with `date +%s%6N`), MONO_US the
// performance counter in microseconds (the clock of Wine's +timestamp); the
// host run writes its virtual milliseconds times 1000 in both. RESULT is the
// call's return value and ERROR the last error it leaves, both decimal. The
// arguments follow in a fixed order per call; a value is escaped so that it
// never holds a space (see EscapeValue). Pointers are logged as "null" or
// "set" and sets and handles by the world's own numbers, never by address, so
// that a host line and a Wine line of the same call compare.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace world {

struct CallRecord {
    int64_t unixUs = 0;
    int64_t monoUs = 0;
    unsigned long pid = 0;
    unsigned long tid = 0;
    std::string call; // the exported name, or an event: Load, Unload, Blocked, ...
    int64_t result = 1;
    unsigned long error = 0;
    std::vector<std::pair<std::string, std::string>> args;

    CallRecord& Arg(std::string_view name, std::string_view value);
    CallRecord& Arg(std::string_view name, int64_t value);
    // Arg for each name and value in turn.
    template <typename Value, typename... More>
    CallRecord& Args(std::string_view name, const Value& value, const More&... more) {
        Arg(name, value);
        if constexpr (sizeof...(more) > 0) {
            Args(more...);
        }
        return *this;
    }
};

// A record of that call with that result and last error, without arguments yet.
CallRecord Called(std::string_view call, int64_t result = 1, unsigned long error = 0);

// Every byte up to the space, '%' and every byte from 0x7f on as %XX.
std::string EscapeValue(std::string_view value);
// "00,00,00,10,00".
std::string HexBytes(const unsigned char* bytes, size_t length);
// "{4D1E55B2-F16F-11CF-88CB-001111000030}" from the GUID's 16 bytes in memory
// order (Data1..Data3 little-endian, as on x86), or "null".
std::string GuidText(const unsigned char* guid);
// "null" or "set".
inline const char* PointerText(const void* pointer) {
    return pointer != nullptr ? "set" : "null";
}

// The record as one line, without the line feed.
std::string CallLine(const CallRecord& record);

} // namespace world
