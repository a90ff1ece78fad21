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

using EntryPointTest = ProductTestWithParam<EntryPoint>;

TEST_P(EntryPointTest, SetsTheDefaultDllDirectoriesFirstAndLoadsTheLibraryNarrowly) {
    const EntryPoint& c = GetParam();
    sim::UseRealTime(0.05);
    if (c.library) {
        sim::InstallCaptureLibrary();
    }
    sim::AddHidDevice(VirtualJoystick());
    sim::StartedByServiceManager(c.serviceStart);
    std::vector<std::string> args = {c.program, "4", "1", "0", "30", "250"};
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    std::thread process([&] { c.main(static_cast<int>(args.size()), argv.data()); });
    if (c.serviceStart) {
        for (int i = 0; i < 2000 && sim::CallsNamed("ZUR_USBIO_API_GetGPIO").empty(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        EXPECT_TRUE(sim::SendControl(SERVICE_CONTROL_STOP)) << c.program;
    } else {
        // Without the library the console waits for it until Ctrl+C.
        for (int i = 0; i < 2000 && sim::CallsNamed("LoadLibraryExA").empty(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        EXPECT_TRUE(sim::PressConsoleControl(CTRL_C_EVENT)) << c.program;
    }
    process.join();

    std::vector<sim::Call> calls = sim::Calls();
    ASSERT_FALSE(calls.empty()) << c.program;
    EXPECT_EQ("SetDefaultDllDirectories", calls.front().name) << c.program;
    EXPECT_EQ((sim::CallValues{.result = TRUE, .numbers = {LOAD_LIBRARY_SEARCH_SYSTEM32}}),
              calls.front().values)
        << calls.front().args;
    EXPECT_EQ(1u, sim::CallsNamed("SetDefaultDllDirectories").size()) << c.program;
    EXPECT_EQ(static_cast<DWORD>(LOAD_LIBRARY_SEARCH_SYSTEM32), sim::DefaultDllDirectories())
        << c.program;
    // The console may have tried again before the Ctrl+C came; every try alike.
    std::vector<sim::Call> loads = sim::CallsNamed("LoadLibraryExA");
    ASSERT_LE(1u, loads.size());
    if (c.loaded) {
        ASSERT_EQ(1u, loads.size());
    }
    EXPECT_EQ((sim::CallValues{
                  .result = c.loaded ? 1 : 0,
                  .numbers = {LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32},
                  .pointers = {sim::Pointer::null},
                  .strings = {"ZUR_USBIO_KAD.dll"}}),
              loads[0].values)
        << loads[0].args;
    EXPECT_EQ(c.loaded ? 1 : 0, sim::ModuleLoads("ZUR_USBIO_KAD.dll", sim::DllFolder::Application));
    EXPECT_EQ(sim::Resources{}, sim::Held()) << c.program;
}

INSTANTIATE_TEST_SUITE_P(BothPrograms, EntryPointTest, ::testing::ValuesIn(fullRuns),
                         NamedBy<&EntryPoint::program>());

// Without arguments neither program gets as far as the library, but the default
// directories are set all the same: nothing runs before them.
const EntryPoint incompleteRuns[] = {
    {"joyvane_service.exe", JoyvaneServiceMain, false, false, false},
    {"joyvane_console.exe", JoyvaneConsoleMain, false, false, false},
};

using IncompleteCommandLineTest = ProductTestWithParam<EntryPoint>;

TEST_P(IncompleteCommandLineTest, StillComesAfterTheDefaultDllDirectories) {
    const EntryPoint& c = GetParam();
    std::string program = c.program;
    char* argv[] = {program.data(), nullptr};
    c.main(1, argv);
    std::vector<sim::Call> calls = sim::Calls();
    ASSERT_FALSE(calls.empty()) << c.program;
    EXPECT_EQ("SetDefaultDllDirectories", calls.front().name) << c.program;
    EXPECT_EQ((sim::CallValues{.result = TRUE, .numbers = {LOAD_LIBRARY_SEARCH_SYSTEM32}}),
              calls.front().values)
        << calls.front().args;
    EXPECT_TRUE(sim::CallsNamed("LoadLibraryExA").empty()) << c.program;
}

INSTANTIATE_TEST_SUITE_P(BothPrograms, IncompleteCommandLineTest,
                         ::testing::ValuesIn(incompleteRuns), NamedBy<&EntryPoint::program>());

} // namespace
