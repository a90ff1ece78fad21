// Every scenario of tests/scenarios, played on the simulated Windows: the
// reports must be exactly those its expect lines give, at exactly those times.
// The end-to-end run plays the same files under Wine.
#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/product_fixture.h"
#include "tests/scenario_play.h"

namespace {

std::vector<std::string> ScenarioFiles() {
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(JOYVANE_SCENARIOS)) {
        if (entry.path().extension() == ".scenario") {
            files.push_back(entry.path().stem().string());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

class ScenarioTest : public ::testing::TestWithParam<std::string> {
  protected:
    void TearDown() override {
        sim::Reset();
    }
};

TEST_P(ScenarioTest, TheHostRunSendsExactlyTheExpectedReports) {
    const world::Scenario scenario = world::ParseScenario(
        ReadTextFile(std::string(JOYVANE_SCENARIOS) + "/" + GetParam() + ".scenario"));
    EXPECT_EQ(std::vector<std::string>{}, scenario.ignored);
    ASSERT_NE(!scenario.expected.empty(), scenario.expectNothing);
    const HostRun run = PlayScenario(scenario);
    // Scenario times count from the library's load, which the service's start
    // leaves at virtual time 0.
    const std::vector<sim::Call> loads = sim::CallsNamed("LoadLibraryExA");
    ASSERT_FALSE(loads.empty());
    EXPECT_EQ(0u, loads[0].time);
    std::vector<std::string> expected;
    for (const world::Expected& report : scenario.expected) {
        expected.push_back(std::to_string(report.time) + " " + std::to_string(report.value) +
                           (report.role == "refused" ? "!" : ""));
    }
    std::vector<std::string> sent;
    for (const sim::Report& report : run.reports) {
        sent.push_back(std::to_string(report.time) + " " + std::to_string(ReportValue(report)) +
                       (report.accepted ? "" : "!"));
    }
    EXPECT_EQ(expected, sent);
    // The service lets go of everything it holds by the time its process ends.
    EXPECT_EQ(sim::Resources{}, sim::Held());
    // The stop control came at the stop time, and stopped was the process's last word.
    ASSERT_EQ(5u, run.statuses.size());
    EXPECT_EQ(static_cast<uint32_t>(scenario.stopAt), run.statuses[3].time);
    EXPECT_EQ(run.processEnd, run.statuses[4].time);
    // The service's threads took turns: a second play makes every call again, on
    // the same thread at the same time.
    auto order = [](const HostRun& played) {
        std::vector<std::string> calls;
        for (const sim::Call& call : played.calls) {
            calls.push_back(std::to_string(call.time) + " " + std::to_string(call.thread) + " " +
                            call.name);
        }
        return calls;
    };
    EXPECT_EQ(order(run), order(PlayScenario(scenario)));
}

// The host run's call log, for a worker stuck in the library at the stop: the stop
// control handled on the dispatcher's thread (256; the worker is 258), the
// joystick let go of by the stop at its deadline, stopped, and the process's
// end, without the worker's late return.
TEST(HostCallLogTest, AStopThatLetsGoOfAStuckWorkerEndsTheProcessAtItsDeadline) {
    const world::Scenario scenario = world::ParseScenario(
        ReadTextFile(std::string(JOYVANE_SCENARIOS) + "/library-blocked.scenario"));
    std::vector<std::string> lines;
    for (const world::CallRecord& record : HostCallLog(scenario, PlayScenario(scenario))) {
        if (lines.size() < 2 || record.unixUs >= 2400000) {
            lines.push_back(world::CallLine(record));
        }
    }
    const std::string status = " SetServiceStatus 1 0 state=";
    EXPECT_EQ((std::vector<std::string>{
                  "0 0 0 0 Product 1 0 service=ZUR%20Service%201.02 stop_deadline_ms=1001 "
                  "long_press_delay_ms=800 long_click_ms=250",
                  "0 0 0 0 Scenario 1 0 service=4%200%200%2030%20250 library=stdcall stop=2600",
                  "2410000 2410000 0 258 Blocked 1 0 call=ZUR_USBIO_API_GetGPIO until=5400",
                  "2600000 2600000 0 256" + status +
                      "3 checkpoint=1 wait_hint=3000 accepted=5 exit=0 specific=0 type=16",
                  "3601000 3601000 0 256 HidD_SetFeature 1 0 handle=1 device=0 length=5 "
                  "bytes=00,00,00,00,00 "
                  "role=stop",
                  "3601000 3601000 0 256" + status +
                      "1 checkpoint=0 wait_hint=0 accepted=5 exit=0 specific=0 type=16",
                  "3601000 3601000 0 0 ExitProcess 1 0"}),
              lines);
    sim::Reset();
}

INSTANTIATE_TEST_SUITE_P(Scenarios, ScenarioTest, ::testing::ValuesIn(ScenarioFiles()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                             std::string name = info.param;
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

} // namespace
