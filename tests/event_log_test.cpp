// The service's events in the Event Log: which event comes at which moment, with
// its id, type and insertion strings, on the virtual clock (the worker's events,
// played from the scenario files) and on the service's real threads (started and
// stopped); a device that comes and goes for an hour; a log that refuses.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "bridge/poll_worker.h"
#include "messages.h"
#include "platform/event_log.h"
#include "service/service_lifecycle.h"
#include "tests/product_fixture.h"
#include "tests/scenario_play.h"
#include "usbio/usbio_api.h"

namespace {

// "W 0x80000007 ZUR_USBIO_API_GetGPIO|1|1": the type (I, W or E), the id with
// its severity bits, the insertion strings.
std::string EventLine(const sim::LoggedEvent& event) {
    const char type = event.type == EVENTLOG_ERROR_TYPE         ? 'E'
                      : event.type == EVENTLOG_WARNING_TYPE     ? 'W'
                      : event.type == EVENTLOG_INFORMATION_TYPE ? 'I'
                                                                : '?';
    char head[32];
    std::snprintf(head, sizeof head, "%c 0x%08X", type, static_cast<unsigned>(event.id));
    std::string line = head;
    for (size_t i = 0; i < event.strings.size(); ++i) {
        line += (i == 0 ? " " : "|") + event.strings[i];
    }
    return line;
}

std::vector<std::string> EventLines(const std::vector<sim::LoggedEvent>& events) {
    std::vector<std::string> lines;
    for (const sim::LoggedEvent& event : events) {
        EXPECT_EQ("Joyvane", event.source);
        lines.push_back(EventLine(event));
    }
    return lines;
}

const std::string library = "C:\\Joyvane\\ZUR_USBIO_KAD.dll";
const std::string joystick =
    "\\\\?\\C:\\Joyvane\\hid#zurvirtualhiddevice#0#{4d1e55b2-f16f-11cf-88cb-001111000030}";

struct ScenarioEvents {
    const char* scenario;
    std::vector<std::string> events;
};
PRINTED_BY_TEST_NAME(ScenarioEvents)

const ScenarioEvents scenarioEvents[] = {
    {"mode1-normal", {"I 0x40000005 " + library, "I 0x40000009 " + joystick, "I 0x40000006 0"}},
    // Lost at the failed poll, connected again a second later.
    {"poll-failure",
     {"I 0x40000005 " + library, "I 0x40000009 " + joystick, "I 0x40000006 0",
      "W 0x80000007 ZUR_USBIO_API_GetGPIO|1|1", "I 0x40000006 0"}},
    // Looked for every second, logged once.
    {"joystick-absent", {"I 0x40000005 " + library, "W 0x80000008 HID\\ZurVirtualHidDevice"}},
    // The restarted driver refuses a report (ERROR_DEVICE_NOT_CONNECTED): lost by the joystick's
    // call, and the joystick found again with the device.
    {"joystick-restart",
     {"I 0x40000005 " + library, "I 0x40000009 " + joystick, "I 0x40000006 0", "W 0x8000000A 1167",
      "W 0x80000007 HidD_SetFeature|0|1", "I 0x40000009 " + joystick, "I 0x40000006 0"}},
    // Stuck in GetGPIO at the stop: the joystick is let go of with its idle report.
    {"library-blocked",
     {"I 0x40000005 " + library, "I 0x40000009 " + joystick, "I 0x40000006 0", "W 0x8000000B 0"}},
};

class ScenarioEventsTest : public ::testing::TestWithParam<ScenarioEvents> {
  protected:
    void TearDown() override {
        sim::Reset();
    }
};

TEST_P(ScenarioEventsTest, TheWorkerLogsEachMomentOnce) {
    const ScenarioEvents& c = GetParam();
    const world::Scenario scenario = world::ParseScenario(
        ReadTextFile(std::string(JOYVANE_SCENARIOS) + "/" + c.scenario + ".scenario"));
    const HostRun run = PlayScenario(scenario, true);
    EXPECT_EQ(c.events, EventLines(run.events));
}

INSTANTIATE_TEST_SUITE_P(Scenarios, ScenarioEventsTest, ::testing::ValuesIn(scenarioEvents),
                         NamedBy<&ScenarioEvents::scenario>());

// Without its library the worker waits; the cause is logged once, with the full
// path where the library belongs and the loader's error, not at every try.
TEST(EventLogTest, AMissingLibraryIsLoggedOnceWithItsPathAndError) {
    const world::Scenario scenario =
        world::ParseScenario("service 4 0 0 30 250\nlibrary none\nstop 9000\n");
    const HostRun run = PlayScenario(scenario, true);
    EXPECT_EQ((std::vector<std::string>{"W 0x80000004 not found|" + library + "|126"}),
              EventLines(run.events));
    sim::Reset();
}

// A device that comes and goes every second for an hour: lost for one second,
// connected for one. At most one loss a minute is logged with the connection
// after it, and the losses in between are counted into the next loss.
TEST(EventLogTest, AnHourOfAFlappingDeviceStaysWithinOnePairAMinute) {
    world::Scenario scenario = world::ParseScenario("service 4 0 0 250 250\nstop 3602000\n");
    for (long second = 2; second < 3602; second += 2) {
        scenario.faults.push_back(world::Fault{
            .call = "ZUR_USBIO_API_GetGPIO", .from = second * 1000, .until = second * 1000 + 1000});
    }
    const HostRun run = PlayScenario(scenario, true);
    std::vector<std::string> lines = EventLines(run.events);
    const auto losses = std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
        return line.rfind("W 0x80000007", 0) == 0;
    });
    // The first loss is logged as it comes, then one a minute, each with the count.
    ASSERT_LE(4u, lines.size());
    EXPECT_EQ("W 0x80000007 ZUR_USBIO_API_GetGPIO|1|1", lines[3]);
    EXPECT_EQ("I 0x40000006 0", lines[4]);
    EXPECT_EQ("W 0x80000007 ZUR_USBIO_API_GetGPIO|1|30", lines[5]);
    std::fprintf(stderr, "an hour of flapping: %zu events, %ld of them losses\n", lines.size() - 3,
                 static_cast<long>(losses));
    // Beside the library, the joystick and the first connection.
    EXPECT_LE(lines.size() - 3, 120u);
    EXPECT_GE(losses, 59);
    sim::Reset();
}

// The service as the service manager starts and stops it, on real threads.
using ServiceEventsTest = ServiceProcessTest;

TEST_F(ServiceEventsTest, ANormalRunLogsItsStartItsDevicesAndItsStop) {
    sim::SetUserName("SYSTEM");
    Start({"4", "1", "0", "30", "250"});
    ASSERT_TRUE(sim::WaitForServiceState(SERVICE_RUNNING, waitMs));
    ASSERT_TRUE(WaitForCalls("ZUR_USBIO_API_GetGPIO", 2));
    EXPECT_TRUE(sim::SendControl(SERVICE_CONTROL_STOP));
    process.join();
    std::vector<std::string> lines = EventLines(sim::LoggedEvents());
    ASSERT_EQ(5u, lines.size());
    EXPECT_EQ("I 0x40000001 4|1|0|30|250|SYSTEM", lines[0]);
    EXPECT_EQ("I 0x40000005 " + library, lines[1]);
    EXPECT_EQ("I 0x40000009 \\\\?\\hid#zur#1", lines[2]);
    EXPECT_EQ("I 0x40000006 0", lines[3]);
    EXPECT_EQ("I 0x40000002 0", lines[4]);
    EXPECT_EQ(0, sim::OpenEventSources());
}

// The worker is stuck in GetGPIO at the stop: the joystick is let go of without
// it, and the stopped event says the worker was let go.
TEST_F(ServiceEventsTest, AStopWithTheWorkerStuckSaysSo) {
    sim::SetButtonTimeline({{0, gpioButtonDown}});
    Start({"4", "0", "0", "30", "250"});
    ASSERT_TRUE(sim::WaitForServiceState(SERVICE_RUNNING, waitMs));
    ASSERT_TRUE(WaitForCalls("ZUR_USBIO_API_GetGPIO", 1));
    int blocked = sim::HoldAt("ZUR_USBIO_API_GetGPIO");
    ASSERT_TRUE(sim::WaitUntilHeld(blocked, waitMs));
    EXPECT_TRUE(sim::SendControl(SERVICE_CONTROL_STOP));
    process.join();
    std::vector<std::string> lines = EventLines(sim::LoggedEvents());
    ASSERT_LE(2u, lines.size());
    EXPECT_EQ((std::vector<std::string>{"W 0x8000000B 0", "W 0x80000003 0|1001"}),
              std::vector<std::string>(lines.end() - 2, lines.end()));
    sim::ReleaseHold(blocked);
    WaitUntil([] { return sim::RunningThreads() == 0; }, 2000);
}

// Stuck in the library's Init, before any joystick was opened: the stop says the
// worker was let go, and no joystick event claims one was.
TEST_F(ServiceEventsTest, AStopWithTheWorkerStuckBeforeAJoystickLetsGoOfNone) {
    int blocked = sim::HoldAt("ZUR_USBIO_API_Init");
    Start({"4", "0", "0", "30", "250"});
    ASSERT_TRUE(sim::WaitForServiceState(SERVICE_RUNNING, waitMs));
    ASSERT_TRUE(sim::WaitUntilHeld(blocked, waitMs));
    EXPECT_TRUE(sim::SendControl(SERVICE_CONTROL_STOP));
    process.join();
    std::vector<std::string> lines = EventLines(sim::LoggedEvents());
    ASSERT_LE(1u, lines.size());
    EXPECT_EQ("W 0x80000003 0|1001", lines.back());
    for (const std::string& line : lines) {
        EXPECT_EQ(std::string::npos, line.find("0x8000000B")) << line;
    }
    sim::ReleaseHold(blocked);
    WaitUntil([] { return sim::RunningThreads() == 0; }, 2000);
}

// A log that cannot be opened, or refuses events: the service works as ever and
// traces the refusal once.
struct Refusal {
    const char* how;
    world::Fault fault;
    std::string trace;
};
PRINTED_BY_TEST_NAME(Refusal)

const Refusal refusals[] = {
    {"no event log service",
     {.call = "RegisterEventSourceW", .calls = 1},
     "ZUR Joyvane: Event Log refused the source Joyvane: error 1722"},
    {"every event refused",
     {.call = "ReportEventW", .calls = 1000, .error = ERROR_ACCESS_DENIED},
     "ZUR Joyvane: Event Log refused event 0x40000001: error 5"},
};

using EventLogRefusalTest = ServiceProcessTestWithParam<Refusal>;

TEST_P(EventLogRefusalTest, TheServiceKeepsWorkingAndTracesTheRefusalOnce) {
    sim::AddFault(GetParam().fault);
    sim::SetButtonTimeline({{1500, gpioButtonDown}, {1800, gpioButtonUp}});
    Start({"4", "0", "0", "30", "250"});
    ASSERT_TRUE(sim::WaitForServiceState(SERVICE_RUNNING, waitMs));
    ASSERT_TRUE(WaitForCalls("ZUR_USBIO_API_GetGPIO", 40));
    EXPECT_TRUE(sim::SendControl(SERVICE_CONTROL_STOP));
    process.join();
    EXPECT_TRUE(sim::LoggedEvents().empty());
    std::vector<std::string> traces = sim::DebugLines();
    EXPECT_EQ(1, std::count_if(traces.begin(), traces.end(), [](const std::string& line) {
                  return line.find("Event Log refused") != std::string::npos;
              }));
    EXPECT_NE(traces.end(), std::find(traces.begin(), traces.end(), GetParam().trace));
    // The press went through as without the log.
    std::vector<int> values;
    for (const sim::Report& report : sim::Reports()) {
        values.push_back(ReportValue(report));
    }
    EXPECT_NE(values.end(), std::find(values.begin(), values.end(), 8));
    EXPECT_EQ(SERVICE_STOPPED, sim::StatusReports().back().status.dwCurrentState);
    EXPECT_EQ(0u, sim::StatusReports().back().status.dwWin32ExitCode);
}

INSTANTIATE_TEST_SUITE_P(Refusals, EventLogRefusalTest, ::testing::ValuesIn(refusals),
                         NamedBy<&Refusal::how>());

// A path longer than MAX_PATH is cut to MAX_PATH characters; a "%1" in it stays
// text: insertion strings are not formats.
TEST_F(ProductTest, AnInsertionStringIsCutAtMaxPathAndNeverAFormat) {
    ASSERT_TRUE(OpenEventLog());
    const std::string longPath = "C:\\" + std::string(400, 'x') + "%1%n%s";
    LogEvent(MSG_LIBRARY_LOADED, {longPath.c_str()});
    LogEvent(MSG_JOYSTICK_FOUND, {"\\\\?\\hid#%1%2%s%n"});
    CloseEventLog();
    std::vector<sim::LoggedEvent> events = sim::LoggedEvents();
    ASSERT_EQ(2u, events.size());
    EXPECT_EQ((std::vector<std::string>{longPath.substr(0, MAX_PATH)}), events[0].strings);
    EXPECT_EQ((std::vector<std::string>{"\\\\?\\hid#%1%2%s%n"}), events[1].strings);
}

} // namespace
