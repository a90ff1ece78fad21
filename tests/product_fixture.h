// Every test starts on a fresh simulated machine with the product's process-wide
// state as a new process would have it, and with standard output captured.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "bridge/settings.h"
#include "sim/sim.h"

void ResetProductState();

class ProductTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
};

// A ProductTest over a table of cases (TEST_P): each case starts on a fresh machine
// and a fresh product state, as every ProductTest does.
template <typename Case>
class ProductTestWithParam : public ProductTest, public ::testing::WithParamInterface<Case> {};

// The service process as the service manager starts and stops it, on real threads
// with the clock scaled (a real millisecond is ten virtual ones), the capture
// library and the joystick in place.
class ServiceProcessTest : public ProductTest {
  protected:
    static constexpr double realPerVirtual = 0.1;
    static constexpr uint32_t waitMs = 10000;

    void SetUp() override;
    // A test that failed half-way still has to let the service end.
    void TearDown() override;
    // Starts the service process on its own thread with these five numbers.
    void Start(std::vector<std::string> numbers = {"4", "0", "0", "30", "250"});

    std::thread process;
};

template <typename Case>
class ServiceProcessTestWithParam : public ServiceProcessTest,
                                    public ::testing::WithParamInterface<Case> {};

// Calls a program's main (or anything else that takes argc and argv) with args,
// the program's name first.
int RunMain(int (*main)(int, char**), std::vector<std::string> args);

// Runs the poll worker on this thread with config, handed over as StartPollWorker
// does (a LocalAlloc'd copy), with the run flag up and its stop event, until the
// stop request at the virtual time stopAt; its return value. With stopAt 0 the
// worker has no stop event and the test lowers the run flag itself. before runs
// just before the worker starts, when the test's own calls are made.
DWORD RunPollWorker(const ServiceConfig& config, uint32_t stopAt = 0,
                    const std::function<void()>& before = nullptr);

// joyvane_console.exe with these arguments, on this thread; its exit code.
int RunConsole(std::vector<std::string> args);

// Waits in real time, looking every millisecond, until condition holds or realMs
// have passed; whether it holds.
bool WaitUntil(const std::function<bool()>& condition, uint32_t realMs = 10000);

// Waits in real time until at least count calls of that name were logged.
::testing::AssertionResult WaitForCalls(const char* name, size_t count = 1);

// A case's description as a test name: "no stop event" is "NoStopEvent", "mode -1"
// "ModeMinus1"; other characters than letters and digits only split words.
std::string CaseName(std::string_view description);

// Text of any kind as a test name: signs and white space are spelled out ("-3" is
// "Minus3", " \t5" "SpaceTab5"), letters and digits kept, "" is "Empty".
std::string SpelledOut(std::string_view text);

// The name generator of INSTANTIATE_TEST_SUITE_P for cases that carry their
// description in `field`.
template <auto field> struct NamedBy {
    template <typename Case>
    std::string operator()(const ::testing::TestParamInfo<Case>& info) const {
        return CaseName(info.param.*field);
    }
};

// The button value a 5-byte feature report carries.
int ReportValue(const sim::Report& report);

// The virtual joystick as it is present on a machine with its driver.
sim::HidDevice VirtualJoystick();
// The same device with a collection that is no joystick (usage 5).
sim::HidDevice NotAJoystick();
// What the log keeps of the one load of the capture library: by its bare name,
// from the program's folder or System32 only.
sim::CallValues CaptureLibraryLoad(bool loaded);

// The trace without the device lines that are copied into it ("ZUR Joyvane:
// device: ..."), for checks of the trace's own lines.
std::vector<std::string> OwnTraceLines();
// The device lines of the trace, each with its line end, as standard output has them.
std::string DeviceLinesInTrace();

// The console runner's live lines with their times as "+t s", for runs in real time.
std::string WithoutTimes(const std::string& text);

// Names of the logged calls that begin with prefix, in order.
std::vector<std::string> CallNames(std::string_view prefix);

// The joystick reports and the service's status reports in the order they were
// made: "report 8", "status 1"; a refused one ends in "!".
std::vector<std::string> ReportsAndStatus();

// "time:value" for each report, e.g. "0:8 250:0"; refused reports end in "!".
std::string ReportTimeline();

// GoogleTest prints each case's value beside its test. A case type without a
// printer would be dumped byte by byte, padding included, which valgrind takes
// for a read of uninitialised memory; the test's name already names the case.
#define PRINTED_BY_TEST_NAME(Case)                                                                 \
    [[maybe_unused]] void PrintTo(const Case&, std::ostream* os) {                                 \
        *os << #Case;                                                                              \
    }
