// Finding, checking, opening and closing the virtual joystick on simulated
// devices; every failure path must leave nothing behind.
#include <array>
#include <string>
#include <vector>

#include "joystick/virtual_joystick.h"
#include "tests/product_fixture.h"

namespace {

const std::string joystickIds =
    sim::MultiSz({"HID\\ZurVirtualHidDevice", "HID_DEVICE_UP:0001_U:0004"});

sim::HidDevice Joystick(std::string path = "\\\\?\\hid#zurvirtualhiddevice#1#{4d1e55b2}") {
    sim::HidDevice device;
    device.hardwareIds = joystickIds;
    device.interfaces.push_back(sim::HidInterface{path});
    return device;
}

sim::HidDevice OtherDevice(std::string ids) {
    sim::HidDevice device;
    device.hardwareIds = std::move(ids);
    device.interfaces.push_back(
        sim::HidInterface{"\\\\?\\hid#other#" + std::to_string(ids.size())});
    return device;
}

class JoystickDeviceTest : public ProductTest {
  protected:
    // After a failed Init_ZUR_GP nothing at all is held.
    void ExpectNothingHeld(const std::string& why) {
        EXPECT_EQ(sim::Resources{}, sim::Held()) << why;
        EXPECT_EQ(nullptr, joystickConnection.devicePath) << why;
        EXPECT_EQ(INVALID_HANDLE_VALUE, joystickConnection.deviceHandle.load()) << why;
    }

    // An open connection holds exactly one device handle and one path buffer.
    void ExpectConnectionHeld() {
        EXPECT_EQ((sim::Resources{.deviceHandles = 1, .localBlocks = 1}), sim::Held());
    }

    // The search the joystick's open makes, among the present HID interfaces.
    DWORD FindJoystick(HDEVINFO* set, SP_DEVINFO_DATA* device) {
        GUID hid;
        HidD_GetHidGuid(&hid);
        return FindDeviceByHardwareId(SPDRP_HARDWAREID, &hid, joystickHardwareId, set, device,
                                      DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    }
};

TEST_F(JoystickDeviceTest, OpensTheJoystickForWritingAndClosesItAgain) {
    sim::AddHidDevice(OtherDevice(sim::MultiSz({"HID\\VID_046D&PID_C52B"})));
    sim::AddHidDevice(Joystick());
    ASSERT_EQ(1, Init_ZUR_GP());
    EXPECT_STREQ("\\\\?\\hid#zurvirtualhiddevice#1#{4d1e55b2}", joystickConnection.devicePath);
    ExpectConnectionHeld();
    std::vector<sim::Call> lists = sim::CallsNamed("SetupDiGetClassDevsA");
    ASSERT_EQ(1u, lists.size());
    EXPECT_EQ((sim::CallValues{.result = 1,
                               .numbers = {DIGCF_PRESENT | DIGCF_DEVICEINTERFACE},
                               .pointers = {sim::Pointer::null, sim::Pointer::null}}),
              lists[0].values)
        << lists[0].args;
    std::vector<sim::Call> opens = sim::CallsNamed("CreateFileA");
    ASSERT_EQ(1u, opens.size());
    EXPECT_EQ((sim::CallValues{
                  .result = 0x100,
                  .numbers = {GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0},
                  .pointers = {sim::Pointer::null, sim::Pointer::null},
                  .strings = {"\\\\?\\hid#zurvirtualhiddevice#1#{4d1e55b2}"}}),
              opens[0].values)
        << opens[0].args;

    SendButtonReport(8);
    EXPECT_EQ("0:8", ReportTimeline());

    Destroy_ZUR_GP();
    EXPECT_EQ(" Destroy_ZUR_GP: OK \n", sim::TakeStdout());
    ExpectNothingHeld("after Destroy_ZUR_GP");
    // Nothing is sent on a closed joystick, and nothing said about it.
    SendButtonReport(0);
    EXPECT_EQ("0:8", ReportTimeline());
    EXPECT_EQ("", sim::TakeStdout());
}

struct IdCase {
    const char* name;
    std::string ids;
    bool matches;
};
PRINTED_BY_TEST_NAME(IdCase)

const IdCase idCases[] = {
    {"the joystick's own ids", joystickIds, true},
    {"lower case", sim::MultiSz({"hid\\zurvirtualhiddevice"}), true},
    {"upper case, then another", sim::MultiSz({"HID\\ZURVIRTUALHIDDEVICE", "x"}), true},
    {"only the second id", sim::MultiSz({"HID_DEVICE", "HID\\ZurVirtualHidDevice"}), false},
    {"one character more", sim::MultiSz({"HID\\ZurVirtualHidDevice2"}), false},
    {"a prefix", sim::MultiSz({"HID\\ZurVirtualHid"}), false},
    {"a slash for the backslash", sim::MultiSz({"HID/ZurVirtualHidDevice"}), false},
    {"an empty id", sim::MultiSz({""}), false},
    // Without its terminating NUL the property is compared within its length.
    {"unterminated", std::string("HID\\ZurVirtualHidDevice"), true},
    {"an unterminated prefix", std::string("HID\\ZurVirtualHid"), false},
    {"an empty property", std::string(), false},
};

class HardwareIdTest : public JoystickDeviceTest, public ::testing::WithParamInterface<IdCase> {};

TEST_P(HardwareIdTest, MatchesTheFirstHardwareIdOnlyIgnoringLetterCase) {
    const IdCase& c = GetParam();
    sim::AddHidDevice(OtherDevice(c.ids));
    HDEVINFO set = INVALID_HANDLE_VALUE;
    SP_DEVINFO_DATA device = {};
    EXPECT_EQ(c.matches ? 0u : ERROR_NO_MORE_ITEMS, FindJoystick(&set, &device)) << c.ids;
    EXPECT_EQ(c.matches ? 1 : 0, sim::Held().deviceSets) << c.ids;
    if (c.matches) {
        EXPECT_EQ(sizeof(SP_DEVINFO_DATA), device.cbSize);
        EXPECT_EQ(1u, device.DevInst);
        SetupDiDestroyDeviceInfoList(set);
    }
    EXPECT_EQ(sim::Resources{}, sim::Held()) << c.ids;
}

INSTANTIATE_TEST_SUITE_P(Ids, HardwareIdTest, ::testing::ValuesIn(idCases),
                         NamedBy<&IdCase::name>());

// Each hardware-id read: device, buffer size, result, error.
using PropertyReads = std::vector<std::array<int64_t, 4>>;
PropertyReads PropertyReadsMade() {
    PropertyReads reads;
    for (const sim::Call& call : sim::CallsNamed("SetupDiGetDeviceRegistryPropertyA")) {
        const std::vector<int64_t>& n = call.values.numbers;
        reads.push_back({n.at(0), n.at(1), call.values.result.value_or(-1), n.at(2)});
    }
    return reads;
}

TEST_F(JoystickDeviceTest, DevicesWithoutTheHardwareIdPropertyAreSkipped) {
    sim::HidDevice bare = OtherDevice("");
    bare.hasHardwareIds = false;
    sim::AddHidDevice(bare);
    sim::AddHidDevice(bare);
    sim::AddHidDevice(Joystick());
    ASSERT_EQ(1, Init_ZUR_GP());
    EXPECT_EQ((PropertyReads{{0, 0, 0, ERROR_INVALID_DATA},
                             {1, 0, 0, ERROR_INVALID_DATA},
                             {2, 0, 0, ERROR_INSUFFICIENT_BUFFER},
                             {2, 51, 1, 0}}),
              PropertyReadsMade());
    EXPECT_EQ("", sim::TakeStdout());
}

// The property buffer grows to exactly the size a device reports when its
// property does not fit, and is reused for the devices after it.
TEST_F(JoystickDeviceTest, ALongerPropertyIsReadAgainIntoABufferOfTheReportedSize) {
    sim::AddHidDevice(OtherDevice(sim::MultiSz({"HID\\VID_0001&PID_0002&REV_0003"}))); // 32 bytes
    sim::AddHidDevice(OtherDevice(sim::MultiSz({"HID\\VID_0001"})));                   // 14 bytes
    sim::AddHidDevice(Joystick());                                                     // 51 bytes
    ASSERT_EQ(1, Init_ZUR_GP());
    EXPECT_EQ((PropertyReads{{0, 0, 0, ERROR_INSUFFICIENT_BUFFER},
                             {0, 32, 1, 0},
                             {1, 32, 1, 0},
                             {2, 32, 0, ERROR_INSUFFICIENT_BUFFER},
                             {2, 51, 1, 0}}),
              PropertyReadsMade());
    // The path buffer, the two property buffers, the interface detail.
    std::vector<sim::Call> allocations = sim::CallsNamed("LocalAlloc");
    ASSERT_EQ(4u, allocations.size());
    EXPECT_EQ((sim::CallValues{.result = 1, .numbers = {LPTR, 260}}), allocations[0].values);
    EXPECT_EQ((sim::CallValues{.result = 1, .numbers = {LPTR, 32}}), allocations[1].values);
    EXPECT_EQ((sim::CallValues{.result = 1, .numbers = {LPTR, 51}}), allocations[2].values);
    ExpectConnectionHeld();
}

struct SearchFailure {
    const char* why;
    DWORD classDevsError;
    DWORD propertyError;
    int failingAllocation;
    DWORD result;
};
PRINTED_BY_TEST_NAME(SearchFailure)

const SearchFailure searchFailures[] = {
    {"no device at all", 0, 0, 0, ERROR_NO_MORE_ITEMS},
    {"the device list is refused", ERROR_INVALID_PARAMETER, 0, 0, ERROR_INVALID_PARAMETER},
    {"the property read fails", 0, 5, 0, 5},
    {"no memory for the property", 0, 0, 1, ERROR_INSUFFICIENT_BUFFER},
};

class SearchFailureTest : public JoystickDeviceTest,
                          public ::testing::WithParamInterface<SearchFailure> {};

TEST_P(SearchFailureTest, ReturnsTheErrorAndKeepsNothing) {
    const SearchFailure& c = GetParam();
    if (std::string(c.why) != "no device at all") {
        sim::HidDevice device = Joystick();
        device.propertyError = c.propertyError;
        sim::AddHidDevice(device);
    }
    if (c.classDevsError != 0) {
        sim::AddFault({.call = "SetupDiGetClassDevsA", .error = c.classDevsError});
    }
    if (c.failingAllocation != 0) {
        sim::AddFault({.call = "LocalAlloc", .firstCall = c.failingAllocation});
    }
    HDEVINFO set = INVALID_HANDLE_VALUE;
    SP_DEVINFO_DATA device = {};
    EXPECT_EQ(c.result, FindJoystick(&set, &device)) << c.why;
    EXPECT_EQ(INVALID_HANDLE_VALUE, set) << c.why;
    EXPECT_EQ(sim::Resources{}, sim::Held()) << c.why;

    if (c.failingAllocation != 0) {
        sim::AddFault({.call = "LocalAlloc", .firstCall = 2});
    }
    EXPECT_EQ(0, Init_ZUR_GP()) << c.why;
    ExpectNothingHeld(c.why);
    EXPECT_EQ("", sim::TakeStdout());
}

INSTANTIATE_TEST_SUITE_P(Searches, SearchFailureTest, ::testing::ValuesIn(searchFailures),
                         NamedBy<&SearchFailure::why>());

TEST_F(JoystickDeviceTest, AMatchWithoutOutParametersIsFoundAndItsSetDestroyed) {
    sim::AddHidDevice(Joystick());
    EXPECT_EQ(0u, FindJoystick(nullptr, nullptr));
    EXPECT_EQ(sim::Resources{}, sim::Held());
}

// Each interface that cannot serve prints its line and the search goes on.
TEST_F(JoystickDeviceTest, InterfacesThatFailPrintTheirLineAndTheNextIsTried) {
    sim::HidDevice device = Joystick("\\\\?\\a");
    device.interfaces[0].detailError = ERROR_INVALID_DATA;
    device.interfaces.push_back(sim::HidInterface{"\\\\?\\b", 0, 5});
    device.interfaces.push_back(sim::HidInterface{"\\\\?\\c"});
    device.interfaces.back().preparsedDataFails = true;
    device.interfaces.push_back(sim::HidInterface{"\\\\?\\d"});
    device.interfaces.back().capsFail = true;
    device.interfaces.push_back(sim::HidInterface{"\\\\?\\e", 0, 0, 1, 5}); // a game pad
    device.interfaces.push_back(sim::HidInterface{"\\\\?\\f", 0, 0, 2, 4}); // wrong page
    // Usage page and usage right, but a feature report of 8 bytes.
    device.interfaces.push_back(sim::HidInterface{"\\\\?\\f8"});
    device.interfaces.back().featureLength = 8;
    device.interfaces.push_back(sim::HidInterface{"\\\\?\\g"});
    sim::AddHidDevice(device);

    ASSERT_EQ(1, Init_ZUR_GP());
    EXPECT_EQ("Error: SetupDiGetInterfaceDeviceDetail failed\n"
              "Error: CreateFile failed: 5\n"
              "Error: HidD_GetPreparsedData failed \n"
              "Error: HidP_GetCaps failed \n"
              "Error: feature report of 8 bytes, not 5 \n",
              sim::TakeStdout());
    EXPECT_STREQ("\\\\?\\g", joystickConnection.devicePath);
    // Every handle that was opened and refused was closed again.
    EXPECT_EQ(7u, sim::CallsNamed("CreateFileA").size());
    EXPECT_EQ(5u, sim::CallsNamed("CloseHandle").size());
    ExpectConnectionHeld();
}

TEST_F(JoystickDeviceTest, AMatchedDeviceWithNoJoystickInterfaceIsNotKept) {
    sim::HidDevice device = Joystick();
    device.interfaces[0].usage = 5;
    sim::AddHidDevice(device);
    EXPECT_EQ(0, Init_ZUR_GP());
    EXPECT_EQ("", sim::TakeStdout());
    EXPECT_EQ(1u, sim::CallsNamed("CloseHandle").size());
    ExpectNothingHeld("usage 5");
}

TEST_F(JoystickDeviceTest, ADevicePathThatDoesNotFitIsSkippedLikeOneThatCannotOpen) {
    sim::HidDevice device = Joystick(std::string(260, 'x'));
    device.interfaces.push_back(sim::HidInterface{std::string(259, 'y')});
    sim::AddHidDevice(device);
    ASSERT_EQ(1, Init_ZUR_GP());
    EXPECT_EQ("Error: CreateFile failed: 206\n", sim::TakeStdout());
    EXPECT_EQ(std::string(259, 'y'), joystickConnection.devicePath);
    EXPECT_EQ(1u, sim::CallsNamed("CreateFileA").size());
    ExpectConnectionHeld();
}

struct AllocationFailure {
    const char* block;
    int nth;
    const char* printed;
    int result;
};
PRINTED_BY_TEST_NAME(AllocationFailure)

const AllocationFailure allocationFailures[] = {
    {"the path buffer", 1, "", 0},
    {"the property buffer", 2, "", 0},
    {"the first interface's detail", 3, "Error: OpenDeviceInterface: malloc failed\n", 1},
};

class AllocationFailureTest : public JoystickDeviceTest,
                              public ::testing::WithParamInterface<AllocationFailure> {};

TEST_P(AllocationFailureTest, NoMemoryForItLeavesNothingBehind) {
    const AllocationFailure& c = GetParam();
    sim::HidDevice device = Joystick("\\\\?\\first");
    device.interfaces.push_back(sim::HidInterface{"\\\\?\\second"});
    sim::AddHidDevice(device);
    sim::AddFault({.call = "LocalAlloc", .firstCall = c.nth});
    EXPECT_EQ(c.result, Init_ZUR_GP()) << c.nth;
    EXPECT_EQ(c.printed, sim::TakeStdout()) << c.nth;
    if (c.result == 0) {
        ExpectNothingHeld(std::to_string(c.nth));
    } else {
        EXPECT_STREQ("\\\\?\\second", joystickConnection.devicePath);
        ExpectConnectionHeld();
    }
}

INSTANTIATE_TEST_SUITE_P(Blocks, AllocationFailureTest, ::testing::ValuesIn(allocationFailures),
                         NamedBy<&AllocationFailure::block>());

TEST_F(JoystickDeviceTest, DestroyWithoutAConnectionPrintsTheFailureAndReleasesNothing) {
    sim::AddHidDevice(Joystick());
    ASSERT_EQ(1, Init_ZUR_GP());
    size_t freesBefore = sim::CallsNamed("LocalFree").size();
    Destroy_ZUR_GP();
    Destroy_ZUR_GP();
    Destroy_ZUR_GP();
    EXPECT_EQ(" Destroy_ZUR_GP: OK \n failed CloseHandle \n failed CloseHandle \n",
              sim::TakeStdout());
    EXPECT_EQ(1u, sim::CallsNamed("CloseHandle").size());
    EXPECT_EQ(freesBefore + 1, sim::CallsNamed("LocalFree").size());
    ExpectNothingHeld("after three destroys");
}

TEST_F(JoystickDeviceTest, ARefusedCloseStillGivesUpTheConnection) {
    sim::AddHidDevice(Joystick());
    ASSERT_EQ(1, Init_ZUR_GP());
    sim::AddFault({.call = "CloseHandle"});
    Destroy_ZUR_GP();
    EXPECT_EQ(" failed CloseHandle \n", sim::TakeStdout());
    EXPECT_EQ(nullptr, joystickConnection.devicePath);
    EXPECT_EQ(INVALID_HANDLE_VALUE, joystickConnection.deviceHandle.load());
    EXPECT_EQ(0, sim::Held().localBlocks);
}

TEST_F(JoystickDeviceTest, ReportsFailOnceTheJoystickIsUnplugged) {
    sim::AddHidDevice(Joystick());
    ASSERT_EQ(1, Init_ZUR_GP());
    SendButtonReport(8);
    sim::RemoveHidDevices();
    SendButtonReport(0);
    EXPECT_EQ("0:8 0:0!", ReportTimeline());
    EXPECT_EQ("failed HidD_SetFeature \n", sim::TakeStdout());
}

} // namespace
