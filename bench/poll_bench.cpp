// What one idle poll and one report cost on the host: the product's own code over
// the simulation with its call log off. Figures, not a test: nothing here fails.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "bench/bench_bridge.h"
#include "bridge/button_masks.h"
#include "bridge/poll_worker.h"
#include "joystick/virtual_joystick.h"
#include "sim/sim.h"
#include "usbio/usbio_api.h"

namespace {

std::atomic<long> allocations{0};

// A poll that reads an unchanged button state and so sends nothing.
void IdlePoll(benchmark::State& state) {
    OpenBenchBridge();
    Get_GPIO(0, 4, 0, 250);
    long before = allocations.load();
    for (auto _ : state) {
        benchmark::DoNotOptimize(Get_GPIO(0, 4, 0, 250));
    }
    state.counters["allocations/poll"] = benchmark::Counter(
        static_cast<double>(allocations.load() - before) / static_cast<double>(state.iterations()));
    CloseBenchBridge();
}
BENCHMARK(IdlePoll);

// One button report: built, and written with HidD_SetFeature.
void Report(benchmark::State& state) {
    OpenBenchBridge();
    int32_t value = 0;
    for (auto _ : state) {
        SendButtonReport(value);
        value ^= 8;
    }
    CloseBenchBridge();
}
BENCHMARK(Report);

} // namespace

void* operator new(std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* block = std::malloc(size == 0 ? 1 : size)) {
        return block;
    }
    throw std::bad_alloc();
}

void operator delete(void* block) noexcept {
    std::free(block);
}

void operator delete(void* block, std::size_t) noexcept {
    std::free(block);
}

BENCHMARK_MAIN();
