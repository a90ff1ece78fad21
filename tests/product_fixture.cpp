#include "tests/product_fixture.h"

#include <chrono>
#include <cstdio>
#include <regex>

#include "bridge/poll_worker.h"
#include "service/console_runner.h"
#include "service/service_lifecycle.h"
#include "tests/process_state.h"

void ResetProductState() {
    ResetProcessState();
}

void ProductTest::SetUp() {
    sim::Reset();
    ResetProductState();
    sim::BeginStdoutCapture();
}

void ProductTest::TearDown() {
    sim::EndStdoutCapture(HasFailure());
    // Joins whatever threads the test left, before the process's statics go.
    sim::Reset();
}

void ServiceProcessTest::SetUp() {
    ProductTest::SetUp();
    sim::InstallCaptureLibrary();
    sim::AddHidDevice(VirtualJoystick());
    sim::StartedByServiceManager(true);
    sim::UseRealTime(realPerVirtual);
}

void ServiceProcessTest::TearDown() {
    if (process.joinable()) {
        sim::SendControl(SERVICE_CONTROL_STOP);
        process.join();
    }
    ProductTest::TearDown();
}

void ServiceProcessTest::Start(std::vector<std::string> numbers) {
    numbers.insert(numbers.begin(), "joyvane_service.exe");
    process = std::thread([numbers] { RunMain(ServiceProcessMain, numbers); });
}

int RunMain(int (*main)(int, char**), std::vector<std::string> args) {
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    return main(static_cast<int>(args.size()), argv.data());
}

DWORD RunPollWorker(const ServiceConfig& config, uint32_t stopAt,
                    const std::function<void()>& before) {
    auto* params = static_cast<ServiceConfig*>(LocalAlloc(LPTR, sizeof(ServiceConfig)));
    *params = config;
    runFlag.store(1);
    HANDLE stop = stopAt == 0 ? nullptr : CreateEventA(nullptr, TRUE, FALSE, nullptr);
    workerStopEvent.store(stop);
    if (stopAt != 0) {
        sim::At(stopAt, [] { RequestWorkerStop(); });
    }
    if (before) {
        before();
    }
    DWORD result = PollWorker(params);
    EXPECT_EQ(0, workerAlive.load());
    workerStopEvent.store(nullptr);
    if (stop != nullptr) {
        CloseHandle(stop);
    }
    return result;
}

int RunConsole(std::vector<std::string> args) {
    args.insert(args.begin(), "joyvane_console.exe");
    return RunMain(ConsoleProcessMain, args);
}

bool WaitUntil(const std::function<bool()>& condition, uint32_t realMs) {
    for (uint32_t i = 0; i < realMs && !condition(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return condition();
}

::testing::AssertionResult WaitForCalls(const char* name, size_t count) {
    if (WaitUntil([&] { return sim::CallsNamed(name).size() >= count; })) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure()
           << sim::CallsNamed(name).size() << " calls of " << name << ", not " << count;
}

std::string CaseName(std::string_view description) {
    std::string name;
    bool wordStart = true;
    for (size_t i = 0; i < description.size(); ++i) {
        char c = description[i];
        bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        bool digit = c >= '0' && c <= '9';
        // "mode -1" must not read as "mode 1".
        bool sign = c == '-' && i + 1 < description.size() && description[i + 1] >= '0' &&
                    description[i + 1] <= '9';
        if (sign) {
            name += "Minus";
        }
        if (!letter && !digit) {
            wordStart = true;
            continue;
        }
        name += wordStart && letter && c >= 'a' ? static_cast<char>(c - 'a' + 'A') : c;
        wordStart = false;
    }
    return name;
}

std::string SpelledOut(std::string_view text) {
    if (text.empty()) {
        return "Empty";
    }
    std::string name;
    for (char c : text) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
            name += c;
        } else if (c == '-') {
            name += "Minus";
        } else if (c == '+') {
            name += "Plus";
        } else if (c == ' ') {
            name += "Space";
        } else if (c == '\t') {
            name += "Tab";
        } else if (c == '\n') {
            name += "Newline";
        } else {
            name += "_";
        }
    }
    return name;
}

sim::HidDevice VirtualJoystick() {
    sim::HidDevice device;
    device.hardwareIds = sim::MultiSz({"HID\\ZurVirtualHidDevice"});
    device.interfaces.push_back(sim::HidInterface{"\\\\?\\hid#zur#1"});
    return device;
}

sim::HidDevice NotAJoystick() {
    sim::HidDevice device = VirtualJoystick();
    device.interfaces[0].usage = 5;
    return device;
}

int ReportValue(const sim::Report& report) {
    return report.bytes.size() == 5 ? (report.bytes[3] >> 4) | (report.bytes[4] << 4) : -1;
}

namespace {
constexpr std::string_view deviceLinePrefix = "ZUR Joyvane: device: ";
}

std::vector<std::string> OwnTraceLines() {
    std::vector<std::string> own;
    for (const std::string& line : sim::DebugLines()) {
        if (!line.starts_with(deviceLinePrefix)) {
            own.push_back(line);
        }
    }
    return own;
}

std::string DeviceLinesInTrace() {
    std::string lines;
    for (const std::string& line : sim::DebugLines()) {
        if (line.starts_with(deviceLinePrefix)) {
            lines += line.substr(deviceLinePrefix.size()) + "\n";
        }
    }
    return lines;
}

std::string WithoutTimes(const std::string& text) {
    static const std::regex time("(^|\n)\\+[0-9]+\\.[0-9]{3} s ");
    return std::regex_replace(text, time, "$1+t s ");
}

std::vector<std::string> CallNames(std::string_view prefix) {
    std::vector<std::string> names;
    for (const sim::Call& call : sim::Calls()) {
        if (call.name.compare(0, prefix.size(), prefix) == 0) {
            names.push_back(call.name);
        }
    }
    return names;
}

std::vector<std::string> ReportsAndStatus() {
    std::vector<std::string> story;
    for (const sim::Call& call : sim::Calls()) {
        if (call.name == "SetServiceStatus") {
            // type, state, controls accepted, exit codes, checkpoint, wait hint
            story.push_back("status " + std::to_string(call.values.numbers.at(1)) +
                            (call.values.result == FALSE ? "!" : ""));
            continue;
        }
        if (call.name == "HidD_SetFeature") {
            const std::vector<int64_t>& b = call.values.numbers;
            story.push_back("report " +
                            std::to_string(b.size() == 5 ? (b[3] >> 4) | (b[4] << 4) : -1) +
                            (call.values.result == 0 ? "!" : ""));
        }
    }
    return story;
}

std::string ReportTimeline() {
    std::string timeline;
    for (const sim::Report& report : sim::Reports()) {
        if (!timeline.empty()) {
            timeline += ' ';
        }
        timeline += std::to_string(report.time) + ":" + std::to_string(ReportValue(report));
        if (!report.accepted) {
            timeline += '!';
        }
    }
    return timeline;
}

sim::CallValues CaptureLibraryLoad(bool loaded) {
    return sim::CallValues{
        .result = loaded ? 1 : 0,
        .numbers = {LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32},
        .pointers = {sim::Pointer::null},
        .strings = {"ZUR_USBIO_KAD.dll"}};
}
