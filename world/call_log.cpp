#include "world/call_log.h"

#include <cstdio>

namespace world {

CallRecord& CallRecord::Arg(std::string_view name, std::string_view value) {
    args.emplace_back(std::string(name), std::string(value));
    return *this;
}

CallRecord& CallRecord::Arg(std::string_view name, int64_t value) {
    return Arg(name, std::to_string(value));
}

CallRecord Called(std::string_view call, int64_t result, unsigned long error) {
    CallRecord record;
    record.call = call;
    record.result = result;
    record.error = error;
    return record;
}

std::string EscapeValue(std::string_view value) {
    std::string text;
    for (const char c : value) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte == '%' || byte >= 0x7f) {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", byte);
            text += escaped;
        } else {
            text += c;
        }
    }
    return text;
}

std::string HexBytes(const unsigned char* bytes, size_t length) {
    std::string text;
    char byte[4];
    for (size_t i = 0; i < length; ++i) {
        std::snprintf(byte, sizeof byte, i == 0 ? "%02x" : ",%02x", bytes[i]);
        text += byte;
    }
    return text;
}

std::string GuidText(const unsigned char* g) {
    if (g == nullptr) {
        return "null";
    }
    char text[40];
    std::snprintf(text, sizeof text,
                  "{%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g[3],
                  g[2], g[1], g[0], g[5], g[4], g[7], g[6], g[8], g[9], g[10], g[11], g[12], g[13],
                  g[14], g[15]);
    return text;
}

std::string CallLine(const CallRecord& record) {
    char head[160];
    std::snprintf(head, sizeof head, "%lld %lld %lu %lu ", static_cast<long long>(record.unixUs),
                  static_cast<long long>(record.monoUs), record.pid, record.tid);
    std::string line = head;
    line += record.call.empty() ? std::string("?") : EscapeValue(record.call);
    line += ' ' + std::to_string(record.result) + ' ' + std::to_string(record.error);
    for (const auto& [name, value] : record.args) {
        line += ' ' + name + '=' + EscapeValue(value);
    }
    return line;
}

} // namespace world
