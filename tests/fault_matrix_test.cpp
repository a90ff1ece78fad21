// Every fault the machine can throw at the worker, one at a time, for a stretch
// of time: the worker rides it out, holds at most one joystick connection and one
// device list meanwhile, and works again once the fault is gone.
#include <functional>
#include <string>
#include <vector>

#include "bridge/button_masks.h"
#include "bridge/poll_worker.h"
#include "service/service_config.h"
#include "tests/product_fixture.h"

namespace {

constexpr uint32_t faultFrom = 1500;
constexpr uint32_t faultUntil = 4500;
constexpr uint32_t pressAt = 7000;
constexpr uint32_t releaseAt = 7300;
constexpr uint32_t stopAt = 8000;

sim::HidDevice NotAJoystick() {
    sim::HidDevice device = VirtualJoystick();
    device.interfaces[0].usage = 5;
    return device;
}

sim::HidDevice Unopenable() {
    sim::HidDevice device = VirtualJoystick();
    device.interfaces[0].openError = 5; // ERROR_ACCESS_DENIED
    return device;
}

struct Fault {
    const char* name;
    std::function<void()> begin;
    std::function<void()> end;
};

void Window(sim::CaptureCall call) {
    sim::FailCaptureCallsBetween(call, faultFrom, faultUntil);
}

const Fault faults[] = {
    {"Init fails", [] { Window(sim::CaptureCall::Init); }, nullptr},
    {"Open fails", [] { Window(sim::CaptureCall::Open); }, nullptr},
    {"InitI2c fails", [] { Window(sim::CaptureCall::InitI2c); }, nullptr},
    {"GetGPIO fails mid-run", [] { Window(sim::CaptureCall::GetGpio); }, nullptr},
    {"GetGPIO fails on every first poll",
     [] {
         Window(sim::CaptureCall::GetGpio);
         Window(sim::CaptureCall::Close);
     },
     nullptr},
    {"Close refused", [] { Window(sim::CaptureCall::Close); },
     [] { sim::FailCaptureCalls(sim::CaptureCall::GetGpio, 1); }},
    {"joystick absent", [] { sim::UpdateHidDevice(0, sim::HidDevice{}); },
     [] { sim::UpdateHidDevice(0, VirtualJoystick()); }},
    // Reports to a vanished joystick fail and are otherwise ignored: the worker
    // opens the joystick again only with the next capture connection.
    {"joystick unplugged, then the capture device lost", [] { sim::RemoveHidDevices(); },
     [] {
         sim::AddHidDevice(VirtualJoystick());
         sim::FailCaptureCalls(sim::CaptureCall::GetGpio, 1);
     }},
    {"present but not a joystick", [] { sim::UpdateHidDevice(0, NotAJoystick()); },
     [] { sim::UpdateHidDevice(0, VirtualJoystick()); }},
    {"CreateFile fails", [] { sim::UpdateHidDevice(0, Unopenable()); },
     [] { sim::UpdateHidDevice(0, VirtualJoystick()); }},
    {"reports refused", [] { sim::RefuseFeatureReports(true); },
     [] { sim::RefuseFeatureReports(false); }},
    {"no memory for the next joystick open",
     [] {
         sim::AddFault({.call = "LocalAlloc", .firstCall = 1});
         sim::FailCaptureCalls(sim::CaptureCall::GetGpio, 1);
     },
     nullptr},
};

class FaultMatrixTest : public ProductTest {};

TEST_F(FaultMatrixTest, TheWorkerRidesOutEveryFaultAndWorksAgainAfterIt) {
    for (const Fault& fault : faults) {
        sim::Reset();
        ResetProductState();
        sim::InstallCaptureLibrary();
        sim::AddHidDevice(VirtualJoystick());
        sim::SetButtonTimeline(
            {{0, gpioButtonUp}, {pressAt, gpioButtonDown}, {releaseAt, gpioButtonUp}});
        sim::At(faultFrom, fault.begin);
        if (fault.end) {
            sim::At(faultUntil, fault.end);
        } else {
            // Scripted windows end by themselves; this only marks the time.
            sim::At(faultUntil, [] {});
        }
        sim::At(stopAt, [] { runFlag.store(0); });
        auto* params = static_cast<WorkerParams*>(LocalAlloc(LPTR, sizeof(WorkerParams)));
        *params = WorkerParams{4, 0, 30, 250};
        runFlag.store(1);
        EXPECT_EQ(0u, PollWorker(params)) << fault.name;

        // The press after the fault reaches the joystick, down and up.
        std::vector<int> after;
        for (const sim::Report& report : sim::Reports()) {
            if (report.time >= pressAt && report.time < stopAt && report.accepted) {
                after.push_back(ReportValue(report));
            }
        }
        EXPECT_EQ((std::vector<int>{8, 0}), after) << fault.name;

        sim::Resources peak = sim::PeakHeld();
        EXPECT_LE(peak.deviceHandles, 1) << fault.name;
        EXPECT_LE(peak.deviceSets, 1) << fault.name;
        EXPECT_LE(peak.localBlocks, 3) << fault.name; // path, property buffer, detail
        EXPECT_LE(peak.loadedModules, 1) << fault.name;
        EXPECT_EQ(sim::Resources{}, sim::Held()) << fault.name;
        EXPECT_EQ(0, workerAlive.load()) << fault.name;
    }
}

TEST_F(FaultMatrixTest, AMissingLibraryOrEntryPointEndsTheWorkerAndHoldsNothing) {
    sim::RegisterModule("ZUR_USBIO_KAD.dll", {{"ZUR_USBIO_API_Init", nullptr}});
    auto* params = static_cast<WorkerParams*>(LocalAlloc(LPTR, sizeof(WorkerParams)));
    *params = WorkerParams{4, 0, 30, 250};
    runFlag.store(1);
    EXPECT_EQ(1u, PollWorker(params));
    EXPECT_EQ(0, workerAlive.load());
    EXPECT_EQ(sim::Resources{}, sim::Held());
    EXPECT_EQ(1, sim::ModuleFrees("ZUR_USBIO_KAD.dll"));
}

// Ten thousand times the capture device is lost right after it was opened; the
// worker must come back every time and leave nothing behind.
TEST_F(FaultMatrixTest, TenThousandReconnectsLeakNothing) {
    constexpr int cycles = 10000;
    sim::InstallCaptureLibrary();
    sim::AddHidDevice(VirtualJoystick());
    sim::SetCallLogging(false);
    // Every connection polls twice, then its third poll fails.
    sim::OnCaptureCall([](sim::CaptureCall call, int number) {
        if (call == sim::CaptureCall::GetGpio && number % 3 == 2) {
            sim::FailCaptureCalls(sim::CaptureCall::GetGpio, 1);
        }
        if (call == sim::CaptureCall::Init && number == cycles + 1) {
            sim::SetButtonTimeline({{0, gpioButtonDown}});
        }
        if (call == sim::CaptureCall::GetGpio && number == 3 * cycles + 2) {
            runFlag.store(0);
        }
    });
    auto* params = static_cast<WorkerParams*>(LocalAlloc(LPTR, sizeof(WorkerParams)));
    *params = WorkerParams{4, 1, 30, 100};
    runFlag.store(1);
    EXPECT_EQ(0u, PollWorker(params));

    std::vector<sim::Report> reports = sim::Reports();
    // Each connection: the idle report on open and on close; then the last one's
    // idle report, the press click and its idle report, and the idle report on leaving.
    ASSERT_EQ(2u * cycles + 4, reports.size());
    for (int i = 0; i < 2 * cycles + 1; ++i) {
        ASSERT_EQ(0, ReportValue(reports[i])) << i;
    }
    EXPECT_EQ(8, ReportValue(reports[2 * cycles + 1]));
    EXPECT_EQ(0, ReportValue(reports[2 * cycles + 2]));
    EXPECT_EQ(0, ReportValue(reports[2 * cycles + 3]));
    EXPECT_EQ(sim::Resources{}, sim::Held());
    EXPECT_EQ(1, sim::ModuleLoads("ZUR_USBIO_KAD.dll"));
    EXPECT_EQ(1, sim::ModuleFrees("ZUR_USBIO_KAD.dll"));
    std::fprintf(stderr, "%d reconnects in %u virtual seconds\n", cycles, sim::Now() / 1000);
}

} // namespace
