#include <string>

#include "joystick/virtual_joystick.h"
#include "tests/product_fixture.h"

namespace {

using ButtonReportTest = ProductTest;

struct ReportCase {
    int32_t value;
    uint8_t bytes[5];
};
PRINTED_BY_TEST_NAME(ReportCase)

const ReportCase reportCases[] = {
    {0, {0, 0, 0, 0x00, 0x00}},   {1, {0, 0, 0, 0x10, 0x00}},    {8, {0, 0, 0, 0x80, 0x00}},
    {16, {0, 0, 0, 0x00, 0x01}},  {24, {0, 0, 0, 0x80, 0x01}},   {128, {0, 0, 0, 0x00, 0x08}},
    {192, {0, 0, 0, 0x00, 0x0c}}, {0x7f, {0, 0, 0, 0xf0, 0x07}},
};

using ButtonReportValueTest = ProductTestWithParam<ReportCase>;

TEST_P(ButtonReportValueTest, CarriesTheValueShiftedLeftByFourInBytesThreeAndFour) {
    const ReportCase& c = GetParam();
    joystickConnection.deviceHandle.store(sim::OpenJoystickHandle());
    SendButtonReport(c.value);
    std::vector<sim::Report> reports = sim::Reports();
    ASSERT_EQ(1u, reports.size());
    EXPECT_EQ(std::vector<uint8_t>(c.bytes, c.bytes + 5), reports[0].bytes);
    EXPECT_TRUE(reports[0].accepted);
    EXPECT_EQ("", sim::TakeStdout());
}

INSTANTIATE_TEST_SUITE_P(Values, ButtonReportValueTest, ::testing::ValuesIn(reportCases),
                         [](const ::testing::TestParamInfo<ReportCase>& info) {
                             return "Value" + std::to_string(info.param.value);
                         });

// Nothing was sent, so nothing was refused: the refused-report line would send
// whoever reads the log after a driver that is fine.
TEST_F(ButtonReportTest, WithoutAJoystickNothingIsSentAndNothingPrinted) {
    SendButtonReport(8);
    SendButtonReport(0);
    EXPECT_EQ("", sim::TakeStdout());
    EXPECT_TRUE(sim::CallsNamed("HidD_SetFeature").empty());
}

TEST_F(ButtonReportTest, ARefusedReportPrintsItsLineAndTheNextOneGoesOut) {
    joystickConnection.deviceHandle.store(sim::OpenJoystickHandle());
    sim::AddFault({.call = "HidD_SetFeature", .from = sim::Now()});
    SendButtonReport(8);
    sim::MendFault("HidD_SetFeature");
    SendButtonReport(0);
    EXPECT_EQ("failed HidD_SetFeature \n", sim::TakeStdout());
    EXPECT_EQ("0:8! 0:0", ReportTimeline());
}

} // namespace
