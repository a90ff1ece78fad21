// A fixed number of idle polls and reports, for instruction counts with callgrind
// (tools/bench), which repeat exactly where timings do not.
#include <cstdio>
#include <cstdlib>

#include "bench/bench_bridge.h"
#include "bridge/poll_worker.h"
#include "joystick/virtual_joystick.h"
#include "sim/sim.h"
#include "usbio/usbio_api.h"

extern "C" {

__attribute__((noinline)) void RunIdlePolls(int count) {
    for (int i = 0; i < count; ++i) {
        Get_GPIO(0, 4, 0, 250);
    }
}

__attribute__((noinline)) void RunReports(int count) {
    for (int i = 0; i < count; ++i) {
        SendButtonReport(i & 8);
    }
}
}

int main(int argc, char** argv) {
    int count = argc > 1 ? std::atoi(argv[1]) : 10000;
    OpenBenchBridge();
    Get_GPIO(0, 4, 0, 250);
    RunIdlePolls(count);
    RunReports(count);
    std::printf("%d idle polls, %d reports\n", count, count);
    return 0;
}
