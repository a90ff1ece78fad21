// The two programs' own main functions (service/main.cpp, service/console_main.cpp,
// built into the tests under other names): before anything else they narrow where
// DLLs named without a path may come from, and the capture library is then looked
// for beside the program and in System32 only.
#include <string>
#include <thread>
#include <vector>

#include "tests/product_fixture.h"

int JoyvaneServiceMain(int argc, char** argv);
int JoyvaneConsoleMain(int argc, char** argv);

namespace {

struct EntryPoint {
    const char* program;
    int (*main)(int, char**);
    bool library;      // the capture library is beside the program
    bool serviceStart; // started by the service manager, stopped with a stop control
    bool loaded;       // the library was loaded, from the program's folder
};
PRINTED_BY_TEST_NAME(EntryPoint)

const EntryPoint fullRuns[] = {
    {"joyvane_service.exe", JoyvaneServiceMain, true, true, true},
    {"joyvane_console.exe", JoyvaneConsoleMain, false, false, false},
};

// The first call either program makes: DLLs named without a path come from System32.
void ExpectDllDirectoriesFirst(const char* program) {
    std::vector<sim::Call> calls = sim::Calls();
    ASSERT_FALSE(calls.empty()) << program;
    EXPECT_EQ("SetDefaultDllDirectories", calls.front().name) << program;
    EXPECT_EQ((sim::CallValues{.result = TRUE, .numbers = {LOAD_LIBRARY_SEARCH_SYSTEM32}}),
              calls.front().values)
        << calls.front().args;
}

using EntryPointTest = ProductTestWithParam<EntryPoint>;

TEST_P(EntryPointTest, SetsTheDefaultDllDirectoriesFirstAndLoadsTheLibraryNarrowly) {
    const EntryPoint& c = GetParam();
    sim::UseRealTime(0.05);
    if (c.library) {
        sim::InstallCaptureLibrary();
    }
    sim::AddHidDevice(VirtualJoystick());
    sim::StartedByServiceManager(c.serviceStart);
    std::thread process([&] { RunMain(c.main, {c.program, "4", "1", "0", "30", "250"}); });
    if (c.serviceStart) {
        EXPECT_TRUE(WaitForCalls("ZUR_USBIO_API_GetGPIO"));
        EXPECT_TRUE(sim::SendControl(SERVICE_CONTROL_STOP)) << c.program;
    } else {
        // Without the library the console waits for it until Ctrl+C.
        EXPECT_TRUE(WaitForCalls("LoadLibraryExA"));
        EXPECT_TRUE(sim::PressConsoleControl(CTRL_C_EVENT)) << c.program;
    }
    process.join();
    ExpectDllDirectoriesFirst(c.program);
    EXPECT_EQ(1u, sim::CallsNamed("SetDefaultDllDirectories").size()) << c.program;
    EXPECT_EQ(static_cast<DWORD>(LOAD_LIBRARY_SEARCH_SYSTEM32), sim::DefaultDllDirectories())
        << c.program;
    // The console may have tried again before the Ctrl+C came; every try alike.
    std::vector<sim::Call> loads = sim::CallsNamed("LoadLibraryExA");
    ASSERT_LE(1u, loads.size());
    if (c.loaded) {
        ASSERT_EQ(1u, loads.size());
    }
    EXPECT_EQ(CaptureLibraryLoad(c.loaded), loads[0].values) << loads[0].args;
    EXPECT_EQ(c.loaded ? 1 : 0, sim::ModuleLoads("ZUR_USBIO_KAD.dll", sim::DllFolder::Application));
    EXPECT_EQ(sim::Resources{}, sim::Held()) << c.program;
}

INSTANTIATE_TEST_SUITE_P(BothPrograms, EntryPointTest, ::testing::ValuesIn(fullRuns),
                         NamedBy<&EntryPoint::program>());

// Without arguments neither program gets as far as the library, but the default
// directories are set all the same: nothing runs before them. (Only the program
// of each case counts here.)
using IncompleteCommandLineTest = ProductTestWithParam<EntryPoint>;

TEST_P(IncompleteCommandLineTest, StillComesAfterTheDefaultDllDirectories) {
    const EntryPoint& c = GetParam();
    RunMain(c.main, {c.program});
    ExpectDllDirectoriesFirst(c.program);
    EXPECT_TRUE(sim::CallsNamed("LoadLibraryExA").empty()) << c.program;
}

INSTANTIATE_TEST_SUITE_P(BothPrograms, IncompleteCommandLineTest, ::testing::ValuesIn(fullRuns),
                         NamedBy<&EntryPoint::program>());

// Where hid.dll or winmm.dll cannot be had from System32 neither program can
// work: the service's start fails with the loader's error, the console ends with
// status 1, and neither gets as far as the capture library.
struct MissingSystemDll {
    const char* program;
    int (*main)(int, char**);
    bool serviceStart;
    int exitCode;
    const char* statusSequence;
};
PRINTED_BY_TEST_NAME(MissingSystemDll)

const MissingSystemDll missingSystemDlls[] = {
    {"joyvane_service.exe", JoyvaneServiceMain, true, 1, "1/0/0"},
    {"joyvane_console.exe", JoyvaneConsoleMain, false, 1, ""},
};

using MissingSystemDllTest = ProductTestWithParam<MissingSystemDll>;

TEST_P(MissingSystemDllTest, EndsTheProgramBeforeAnythingStarts) {
    const MissingSystemDll& c = GetParam();
    sim::InstallCaptureLibrary();
    sim::StartedByServiceManager(c.serviceStart);
    sim::AddFault({.call = "LoadSystemDlls", .error = ERROR_MOD_NOT_FOUND});
    EXPECT_EQ(c.exitCode, RunMain(c.main, {c.program, "4", "1", "0", "30", "250"})) << c.program;
    ExpectDllDirectoriesFirst(c.program);
    std::vector<sim::Call> calls = sim::Calls();
    ASSERT_GE(calls.size(), 2u) << c.program;
    EXPECT_EQ("LoadSystemDlls", calls[1].name) << c.program;
    EXPECT_EQ(c.statusSequence, sim::StatusSequence()) << c.program;
    for (const sim::StatusReport& report : sim::StatusReports()) {
        EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND), report.status.dwWin32ExitCode);
    }
    EXPECT_TRUE(sim::CallsNamed("LoadLibraryExA").empty()) << c.program;
    EXPECT_TRUE(sim::CallsNamed("CreateThread").empty()) << c.program;
}

INSTANTIATE_TEST_SUITE_P(BothPrograms, MissingSystemDllTest, ::testing::ValuesIn(missingSystemDlls),
                         NamedBy<&MissingSystemDll::program>());

} // namespace
