#include <climits>

#include "platform/win32.h"
#include "service/service_config.h"
#include "platform/diagnostics.h"

ServiceConfig serviceConfig = {4, 0, 0, 30, 250};

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

} // namespace

int32_t ParseDecimal(const char* text) {
    while (IsBlank(*text)) {
        ++text;
    }
    bool negative = false;
    if (*text == '+' || *text == '-') {
        negative = *text == '-';
        ++text;
    }
    // Accumulate in 64 bits and stop growing at the 32-bit limit, so that no
    // length of digits can overflow.
    const int64_t limit = negative ? -static_cast<int64_t>(INT32_MIN) : INT32_MAX;
    int64_t value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        value = value * 10 + (*text - '0');
        if (value > limit) {
            value = limit;
        }
    }
    return static_cast<int32_t>(negative ? -value : value);
}

int32_t ButtonNumberFromArg(const char* text) {
    int32_t button = ParseDecimal(text);
    return button >= 2 && button <= 7 ? button : 1;
}

bool ModeIsKnown(int32_t mode) {
    return mode >= 0 && mode <= 2;
}

const char* ModeName(int32_t mode) {
    switch (mode) {
    case 0:
        return "follow";
    case 1:
        return "pulse";
    case 2:
        return "short/long press";
    default:
        return nullptr;
    }
}

int ParseCommandLine(int argc, char** argv) {
    if (argc < commandLineArguments + 1) {
        MessageBoxA(nullptr, "Error: Wrong number of arguments !", "ZUR Joyvane Service", MB_OK);
        return 0;
    }
    serviceConfig.buttonNumber = ButtonNumberFromArg(argv[1]);
    serviceConfig.mode = ParseDecimal(argv[2]);
    serviceConfig.inverted = ParseDecimal(argv[3]);
    serviceConfig.pollIntervalMs = ParseDecimal(argv[4]);
    serviceConfig.pulseMs = ParseDecimal(argv[5]);
    TraceMessage("INIT - VideoCaptureResources....");
    return 1;
}
