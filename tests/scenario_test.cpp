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

INSTANTIATE_TEST_SUITE_P(Scenarios, ScenarioTest, ::testing::ValuesIn(ScenarioFiles()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                             std::string name = info.param;
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

} // namespace
