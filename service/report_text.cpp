#include "service/report_text.h"

#include <cstdio>

void DescribeReport(const ButtonFeatureReport& report, char* text, size_t size) {
    // Buttons 1 to 4 are the high half of the fourth byte, 5 to 12 the fifth byte.
    const unsigned buttons =
        (report.buttonsLow >> 4) | (static_cast<unsigned>(report.buttonsHigh) << 4);
    char down[64] = "";
    int count = 0;
    size_t used = 0;
    for (int button = 1; button <= 12; ++button) {
        if ((buttons & (1u << (button - 1))) != 0 && used < sizeof down) {
            used +=
                static_cast<size_t>(std::snprintf(down + used, sizeof down - used, " %d", button));
            ++count;
        }
    }
    const char* bytes = reinterpret_cast<const char*>(&report);
    char hex[16];
    std::snprintf(hex, sizeof hex, "%02x %02x %02x %02x %02x", static_cast<unsigned char>(bytes[0]),
                  static_cast<unsigned char>(bytes[1]), static_cast<unsigned char>(bytes[2]),
                  static_cast<unsigned char>(bytes[3]), static_cast<unsigned char>(bytes[4]));
    if (count == 0) {
        std::snprintf(text, size, "%s all up", hex);
    } else {
        std::snprintf(text, size, "%s button%s%s down", hex, count > 1 ? "s" : "", down);
    }
}
