// The world's own rules, which the simulated Windows and the stand-in DLLs share:
// which fault rule a call meets, what the capture device answers, how the
// scenario language reads.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/product_fixture.h"
#include "world/call_log.h"
#include "world/scenario.h"

namespace {

// The verdicts on calls of "X" at the given times, after the given rules:
// "-" for none, else the rule's result.
std::string Verdicts(const std::vector<world::Fault>& rules, const std::vector<long>& times) {
    world::FaultTable table;
    for (const world::Fault& rule : rules) {
        table.Add(rule);
    }
    std::string out;
    for (long now : times) {
        const world::Fault* fault = table.Fails("X", now);
        out += fault ? std::to_string(*fault->result) : "-";
    }
    return out;
}

world::Fault ByTime(long from, long until, long result) {
    world::Fault fault;
    fault.call = "X";
    fault.from = from;
    fault.until = until;
    fault.result = result;
    return fault;
}

world::Fault ByNumber(int first, int calls, long result) {
    world::Fault fault;
    fault.call = "X";
    fault.firstCall = first;
    fault.calls = calls;
    fault.result = result;
    return fault;
}

struct FaultCase {
    const char* name;
    std::vector<world::Fault> rules;
    std::vector<long> times;
    const char* verdicts;
};
PRINTED_BY_TEST_NAME(FaultCase)

class FaultTableTest : public ::testing::TestWithParam<FaultCase> {};

TEST_P(FaultTableTest, EachCallMeetsTheFirstRuleThatApplies) {
    EXPECT_EQ(GetParam().verdicts, Verdicts(GetParam().rules, GetParam().times));
}

INSTANTIATE_TEST_SUITE_P(
    Rules, FaultTableTest,
    ::testing::Values(
        FaultCase{"WindowIsHalfOpen", {ByTime(10, 20, 5)}, {9, 10, 19, 20}, "-55-"},
        FaultCase{
            "OverlapFirstListedWins", {ByTime(0, 30, 1), ByTime(10, 20, 2)}, {5, 15, 25}, "111"},
        FaultCase{
            "LaterRuleFillsTheGap", {ByTime(10, 20, 2), ByTime(0, 30, 1)}, {5, 15, 25}, "121"},
        FaultCase{"NthCallCountsFromOne", {ByNumber(2, 2, 7)}, {0, 0, 0, 0}, "-77-"},
        FaultCase{"NumberBeatsALaterWindow", {ByNumber(1, 1, 3), ByTime(0, 99, 4)}, {0, 0}, "34"}),
    [](const ::testing::TestParamInfo<FaultCase>& info) { return info.param.name; });

TEST(FaultTableTest, RulesByNumberCountFromWhenTheyWereAdded) {
    world::FaultTable table;
    table.Fails("X", 0);
    table.Fails("X", 0);
    table.Add(ByNumber(1, 1, 9));
    EXPECT_EQ(nullptr, table.Fails("Y", 0));
    ASSERT_NE(nullptr, table.Fails("X", 0));
    EXPECT_EQ(nullptr, table.Fails("X", 0));
    EXPECT_EQ(4, table.Calls("X"));
}

TEST(FaultTableTest, AMendedFaultEndsNowAndBlocksOnlyInTheirWindow) {
    world::FaultTable table;
    table.Add(ByTime(0, world::forever, 1));
    world::Fault block = ByTime(100, 200, 0);
    block.block = true;
    table.Add(block);
    EXPECT_EQ(-1, table.BlockedUntil("X", 99));
    EXPECT_EQ(200, table.BlockedUntil("X", 150));
    EXPECT_EQ(-1, table.BlockedUntil("X", 200));
    world::FaultTable onlyBlocks;
    onlyBlocks.Add(block);
    EXPECT_EQ(nullptr, onlyBlocks.Fails("X", 150)); // a held call then answers normally
    table.Mend("X", 60);
    EXPECT_EQ(nullptr, table.Fails("X", 60));
    EXPECT_EQ(-1, table.BlockedUntil("X", 150)); // the mend ends the coming block too
}

struct AnswerCase {
    const char* name;
    world::CaptureCall call;
    const char* faultLine; // a scenario line, or ""
    bool canStore;
    int result;
    bool stored;
};
PRINTED_BY_TEST_NAME(AnswerCase)

class CaptureDeviceTest : public ::testing::TestWithParam<AnswerCase> {};

TEST_P(CaptureDeviceTest, AnswersAsTheButtonAndTheFaultsSay) {
    const AnswerCase& c = GetParam();
    world::Scenario scenario =
        world::ParseScenario(std::string("press 100 50\n") + c.faultLine + "\n");
    ASSERT_EQ(std::vector<std::string>{}, scenario.ignored);
    world::FaultTable faults;
    for (const world::Fault& fault : scenario.faults) {
        faults.Add(fault);
    }
    const world::CaptureAnswer answer = scenario.capture.Answer(c.call, 120, faults, c.canStore);
    EXPECT_EQ(c.result, answer.result);
    EXPECT_EQ(c.stored, answer.stored);
    if (c.stored) {
        EXPECT_EQ(world::buttonDown, answer.state);
    }
}

using world::CaptureCall;
INSTANTIATE_TEST_SUITE_P(
    Calls, CaptureDeviceTest,
    ::testing::Values(
        AnswerCase{"InitSucceedsWithOne", CaptureCall::Init, "", true, 1, false},
        AnswerCase{"InitFailsWithZero", CaptureCall::Init, "init fail 0 end", true, 0, false},
        AnswerCase{"OpenFailsWithOne", CaptureCall::Open, "open fail nth 1", true, 1, false},
        AnswerCase{"GivenResult", CaptureCall::Open, "open fail 0 200 -5", true, -5, false},
        AnswerCase{"PollStoresTheButton", CaptureCall::GetGpio, "", true, 0, true},
        AnswerCase{"FailedPollStoresNothing", CaptureCall::GetGpio, "gpio fail 110 130", true, 1,
                   false},
        AnswerCase{"PollWithoutPlaceGivesTwo", CaptureCall::GetGpio, "", false, 2, false},
        AnswerCase{"DestroyCanFail", CaptureCall::Destroy, "destroy fail nth 1 3", true, 3, false}),
    [](const ::testing::TestParamInfo<AnswerCase>& info) { return info.param.name; });

TEST(ScenarioLanguageTest, ReadsEveryDirectiveAndListsWhatItCannot) {
    const world::Scenario s = world::ParseScenario(
        "# comment\nservice 4 2 0 30 250\nlibrary stdcall\nstop 4600  # trailing\n"
        "button 10 down\nbutton 10 7\nbutton 0x14 up\nHidD_SetFeature fail 5 end 31\n"
        "gpio block 1 2\ndevice ids=A|B usage=5 restart=9 pad=3 open=fail\n"
        "expect 1000 8 click\npress 1 2 3\nbutton 08 down\ninit fail nth 0\n");
    EXPECT_EQ("4 2 0 30 250", s.service);
    EXPECT_EQ("stdcall", s.library);
    EXPECT_EQ(4600, s.stopAt);
    EXPECT_EQ(7, s.capture.ButtonAt(10)); // of two steps at one time the later wins
    EXPECT_EQ(world::buttonUp, s.capture.ButtonAt(20));
    ASSERT_EQ(2u, s.faults.size());
    EXPECT_EQ("HidD_SetFeature", s.faults[0].call);
    EXPECT_EQ(31u, s.faults[0].error);
    EXPECT_EQ(world::forever, s.faults[0].until);
    EXPECT_EQ("ZUR_USBIO_API_GetGPIO", s.faults[1].call);
    EXPECT_TRUE(s.faults[1].block);
    ASSERT_EQ(1u, s.devices.size());
    EXPECT_EQ(std::string("A\0B\0\0", 5), s.devices[0].hardwareIds);
    const world::HidInterface& hid = s.devices[0].interfaces.at(0);
    EXPECT_EQ(5, hid.usage);
    EXPECT_EQ(9, hid.restartAt);
    EXPECT_EQ(3, hid.padding);
    EXPECT_EQ(world::errorFileNotFound, hid.openError);
    ASSERT_EQ(1u, s.expected.size());
    EXPECT_EQ("click", s.expected[0].role);
    // A leading zero is decimal, not octal; a line with a word too many is refused.
    EXPECT_EQ(world::buttonDown, s.capture.ButtonAt(8));
    EXPECT_EQ((std::vector<std::string>{"line 12: press 1 2 3", "line 14: init fail nth 0"}),
              s.ignored);
}

TEST(ScenarioLanguageTest, WithoutDeviceLinesTheVirtualJoystickIsThere) {
    EXPECT_EQ(1u, world::ParseScenario("").devices.size());
    EXPECT_TRUE(world::ParseScenario("no-hid-devices").devices.empty());
}

} // namespace

TEST(CallLogTest, ALineHasTheCommonColumnsThenEscapedArguments) {
    const unsigned char report[] = {0x00, 0x00, 0x00, 0x10, 0xff};
    const unsigned char hid[] = {0xB2, 0x55, 0x1E, 0x4D, 0x6F, 0xF1, 0xCF, 0x11,
                                 0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30};
    world::CallRecord record{.unixUs = 17, .monoUs = 5, .pid = 3, .tid = 9, .call = "X"};
    record.result = -1;
    record.error = 31;
    record.Arg("path", "C:\\Program Files\\a%b\n\x7f").Arg("n", -4);
    record.Arg("bytes", world::HexBytes(report, sizeof report));
    record.Arg("class", world::GuidText(hid)).Arg("none", world::GuidText(nullptr));
    record.Arg("p", world::PointerText(nullptr)).Arg("empty", "");
    EXPECT_EQ("17 5 3 9 X -1 31 path=C:\\Program%20Files\\a%25b%0A%7F n=-4 bytes=00,00,00,10,ff "
              "class={4D1E55B2-F16F-11CF-88CB-001111000030} none=null p=null empty=",
              world::CallLine(record));
}

// The device calls as the world records them, in the lines the host run and
// the stand-ins write alike: a refused list, then one whole lookup, open and
// report, with the sets and handles by the world's numbers and the virtual
// time in both clocks.
TEST_F(ProductTest, TheWorldRecordsEachDeviceCallAsTheStandInsLogIt) {
    world::HidDevice joystick = world::VirtualJoystick();
    joystick.interfaces[0].path = "\\\\?\\hid#j";
    sim::AddHidDevice(joystick);
    sim::AddFault({.call = "SetupDiGetClassDevsA", .firstCall = 1, .error = 8});
    GUID hid;
    HidD_GetHidGuid(&hid);
    const DWORD flags = DIGCF_PRESENT | DIGCF_DEVICEINTERFACE;
    EXPECT_EQ(INVALID_HANDLE_VALUE, SetupDiGetClassDevsA(&hid, nullptr, nullptr, flags));
    EXPECT_EQ(8u, GetLastError());
    sim::Advance(7);
    HDEVINFO set = SetupDiGetClassDevsA(&hid, nullptr, nullptr, flags);
    SP_DEVINFO_DATA device{.cbSize = sizeof device};
    SetupDiEnumDeviceInfo(set, 0, &device);
    DWORD needed = 0;
    SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID, nullptr, nullptr, 0, &needed);
    SP_DEVICE_INTERFACE_DATA found{.cbSize = sizeof found};
    SetupDiEnumDeviceInterfaces(set, &device, &hid, 0, &found);
    SetupDiGetDeviceInterfaceDetailA(set, &found, nullptr, 0, &needed, nullptr);
    SetupDiDestroyDeviceInfoList(set);
    HANDLE file = CreateFileA("\\\\?\\hid#j", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    PHIDP_PREPARSED_DATA data = nullptr;
    HidD_GetPreparsedData(file, &data);
    HIDP_CAPS caps;
    HidP_GetCaps(data, &caps);
    HidD_FreePreparsedData(data);
    const BYTE report[5] = {0, 0, 0, 0x80, 0};
    HidD_SetFeature(file, const_cast<BYTE*>(report), sizeof report);
    CloseHandle(file);

    std::vector<std::string> lines;
    for (world::CallRecord& record : sim::DeviceCallRecords()) {
        record.tid = 0; // the test's own thread, whatever its id
        lines.push_back(world::CallLine(record));
    }
    const std::string hidClass = "class={4D1E55B2-F16F-11CF-88CB-001111000030}";
    EXPECT_EQ(
        (std::vector<std::string>{
            "0 0 0 0 HidD_GetHidGuid 1 0 guid={4D1E55B2-F16F-11CF-88CB-001111000030}",
            "0 0 0 0 SetupDiGetClassDevsA 0 8 " + hidClass +
                " enumerator=null flags=0x12 set=0 devices=0 live_sets=0",
            "7000 7000 0 0 SetupDiGetClassDevsA 1 0 " + hidClass +
                " enumerator=null flags=0x12 set=1 devices=1 live_sets=1",
            "7000 7000 0 0 SetupDiEnumDeviceInfo 1 0 set=1 index=0 device=0",
            "7000 7000 0 0 SetupDiGetDeviceRegistryPropertyA 0 122 set=1 device=0 "
            "property=1 size=0 required=62 ids=HID\\ZurVirtualHidDevice%00HID_DEVICE_UP:"
            "0001_U:0004%00HID_DEVICE%00%00",
            "7000 7000 0 0 SetupDiEnumDeviceInterfaces 1 0 set=1 device=0 " + hidClass + " index=0",
            "7000 7000 0 0 SetupDiGetDeviceInterfaceDetailA 0 122 set=1 device=0 size=0 "
            "required=14 path=\\\\?\\hid#j",
            "7000 7000 0 0 SetupDiDestroyDeviceInfoList 1 0 set=1 live_sets=0",
            "7000 7000 0 0 HidD_GetPreparsedData 1 0 handle=1 device=0 live_preparsed=1",
            "7000 7000 0 0 HidP_GetCaps 1114112 0 page=1 usage=4 feature_length=5",
            "7000 7000 0 0 HidD_FreePreparsedData 1 0 live_preparsed=0",
            "7000 7000 0 0 HidD_SetFeature 1 0 handle=1 device=0 length=5 "
            "bytes=00,00,00,80,00"}),
        lines);
}
