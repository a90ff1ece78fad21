#include <string>

#include "joystick/virtual_joystick.h"
#include "tests/product_fixture.h"

namespace {

using ButtonReportTest = ProductTest;

struct ReportCase {
    int32_t value;
    uint8_t bytes[5];
};

TEST_F(ButtonReportTest, CarriesTheValueShiftedLeftByFourInBytesThreeAndFour) {
    const ReportCase cases[] = {
        {0, {0, 0, 0, 0x00, 0x00}},   {1, {0, 0, 0, 0x10, 0x00}},    {8, {0, 0, 0, 0x80, 0x00}},
        {16, {0, 0, 0, 0x00, 0x01}},  {24, {0, 0, 0, 0x80, 0x01}},   {128, {0, 0, 0, 0x00, 0x08}},
        {192, {0, 0, 0, 0x00, 0x0c}}, {0x7f, {0, 0, 0, 0xf0, 0x07}},
    };
    joystickConnection.deviceHandle.store(sim::OpenJoystickHandle());
    for (const ReportCase& c : cases) {
        SendButtonReport(c.value);
    }
    std::vector<sim::Report> reports = sim::Reports();
    ASSERT_EQ(std::size(cases), reports.size());
    for (size_t i = 0; i < reports.size(); ++i) {
        EXPECT_EQ(std::vector<uint8_t>(cases[i].bytes, cases[i].bytes + 5), reports[i].bytes)
            << "value " << cases[i].value;
        EXPECT_TRUE(reports[i].accepted);
    }
    EXPECT_EQ("", sim::TakeStdout());
}

TEST_F(ButtonReportTest, WithoutAJoystickTheSendFailsWithItsLineAndTouchesNoDevice) {
    SendButtonReport(8);
    SendButtonReport(0);
    EXPECT_EQ("failed HidD_SetFeature \nfailed HidD_SetFeature \n", sim::TakeStdout());
    EXPECT_TRUE(sim::CallsNamed("HidD_SetFeature").empty());
}

TEST_F(ButtonReportTest, ARefusedReportPrintsItsLineAndTheNextOneGoesOut) {
    joystickConnection.deviceHandle.store(sim::OpenJoystickHandle());
    sim::RefuseFeatureReports(true);
    SendButtonReport(8);
    sim::RefuseFeatureReports(false);
    SendButtonReport(0);
    EXPECT_EQ("failed HidD_SetFeature \n", sim::TakeStdout());
    EXPECT_EQ("0:8! 0:0", ReportTimeline());
}

} // namespace
