// Arbitrary argument vectors: the parse never crashes, refuses fewer than five
// arguments, and reads each number as the C runtime's strtol does, saturated to
// 32 bits, with the button clamped to 2..7 or else 1.
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/process_state.h"
#include "service/service_config.h"
#include "sim/sim.h"

namespace {

int32_t Reference(const std::string& text) {
    long long value = std::strtoll(text.c_str(), nullptr, 10);
    if (value > INT32_MAX) {
        return INT32_MAX;
    }
    if (value < INT32_MIN) {
        return INT32_MIN;
    }
    return static_cast<int32_t>(value);
}

void Check(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Arguments are separated by NUL bytes; the program name comes first.
    std::vector<std::string> args{"joyvane_service.exe"};
    std::string current;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            args.push_back(current);
            current.clear();
        } else {
            current.push_back(static_cast<char>(data[i]));
        }
    }
    args.push_back(current);
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);

    sim::Reset();
    ResetProcessState();
    int accepted = ParseCommandLine(static_cast<int>(args.size()), argv.data());
    if (args.size() < 6) {
        Check(accepted == 0);
        Check(sim::CallsNamed("MessageBoxA").size() == 1);
        Check(serviceConfig.buttonNumber == 4 && serviceConfig.pulseMs == 250);
        return 0;
    }
    Check(accepted == 1);
    int32_t button = Reference(args[1]);
    Check(serviceConfig.buttonNumber == (button >= 2 && button <= 7 ? button : 1));
    Check(serviceConfig.mode == Reference(args[2]));
    Check(serviceConfig.inverted == Reference(args[3]));
    Check(serviceConfig.pollIntervalMs == Reference(args[4]));
    Check(serviceConfig.pulseMs == Reference(args[5]));
    return 0;
}
