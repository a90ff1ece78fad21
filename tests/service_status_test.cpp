// "joyvane_console --status" on the simulated machine: the exact lines for each
// kind of installed service, the exit status, the rights it asks for, and what
// it says when a call fails.
#include <functional>
#include <string>
#include <vector>

#include "service/console_runner.h"
#include "service/registered_command_line.h"
#include "tests/product_fixture.h"

namespace {

constexpr const char* programPath = "C:\\Joyvane\\joyvane_service.exe";
const std::string quotedLine = std::string("\"") + programPath + "\" 4 1 0 30 250";

// The service as install.cmd leaves it, running, with its program and library.
void InstallRunning() {
    sim::InstallService({.imagePath = quotedLine, .state = SERVICE_RUNNING, .processId = 4242});
    sim::AddFile(programPath, sim::VersionResource(1, 2, 0, 0));
    sim::InstallCaptureLibrary();
}

// The same, with one call failing.
std::function<void()> RunningWith(world::Fault fault) {
    return [fault] {
        InstallRunning();
        sim::AddFault(fault);
    };
}

const std::string runningLines = "service \"ZUR Service 1.02\": RUNNING, process 4242\n"
                                 "exit code: 0 (no error)\n"
                                 "start: automatic, as LocalSystem\n"
                                 "command line: " +
                                 quotedLine +
                                 "\n"
                                 "settings: button 4, mode 1 (pulse), normal values, poll every 30 "
                                 "ms, clicks of 250 ms\n"
                                 "program: C:\\Joyvane\\joyvane_service.exe, version 1.2.0.0\n"
                                 "capture library: C:\\Joyvane\\ZUR_USBIO_KAD.dll\n";

struct StatusCase {
    const char* why;
    std::function<void()> arrange;
    int exitCode;
    std::string output;
};
PRINTED_BY_TEST_NAME(StatusCase)

const StatusCase statusCases[] = {
    {"nothing installed", nullptr, 2, "service \"ZUR Service 1.02\": not installed\n"},
    {"running", InstallRunning, 0, runningLines},
    {"running, asked by a user without administrator rights",
     [] {
         InstallRunning();
         sim::SetAdministrator(false);
     },
     0, runningLines},
    {"stopped as a system DLL was missing",
     [] {
         sim::InstallService({.imagePath = "\"C:\\Joyvane\\joyvane_service.exe\" 5 2 1 40 200",
                              .startType = SERVICE_DEMAND_START,
                              .account = "NT AUTHORITY\\LocalService",
                              .exitCode = ERROR_MOD_NOT_FOUND});
         sim::AddFile(programPath, sim::VersionResource(1, 2, 3, 4));
     },
     1,
     "service \"ZUR Service 1.02\": STOPPED\n"
     "exit code: 126 (module not found: hid.dll or winmm.dll missing from System32)\n"
     "start: on demand, as NT AUTHORITY\\LocalService\n"
     "command line: \"C:\\Joyvane\\joyvane_service.exe\" 5 2 1 40 200\n"
     "settings: buttons 5 and 6, mode 2 (short/long press), inverted values, poll every 40 ms, "
     "clicks of 200 ms\n"
     "program: C:\\Joyvane\\joyvane_service.exe, version 1.2.3.4\n"
     "capture library: C:\\Joyvane\\ZUR_USBIO_KAD.dll: missing: put the 32-bit "
     "ZUR_USBIO_KAD.dll there, or in System32\n"},
    {"stopped at its start by mode 3, the library in System32 only",
     [] {
         sim::InstallService({.imagePath = "\"C:\\Joyvane\\joyvane_service.exe\" 9 3 0 30 250",
                              .exitCode = ERROR_INVALID_PARAMETER});
         sim::AddFile(programPath, sim::VersionResource(1, 2, 0, 0));
         sim::RegisterModule("ZUR_USBIO_KAD.dll", {}, 0, sim::DllFolder::System32);
     },
     1,
     "service \"ZUR Service 1.02\": STOPPED\n"
     "exit code: 87 (invalid parameter: a mode other than 0, 1 or 2, or fewer than five "
     "numbers)\n"
     "start: automatic, as LocalSystem\n"
     "command line: \"C:\\Joyvane\\joyvane_service.exe\" 9 3 0 30 250\n"
     "settings: button 1, mode 3 (refused: the service's start fails with error 87), normal "
     "values, poll every 30 ms, clicks of 250 ms\n"
     "program: C:\\Joyvane\\joyvane_service.exe, version 1.2.0.0\n"
     "capture library: C:\\Windows\\System32\\ZUR_USBIO_KAD.dll\n"},
    {"an unquoted path with blanks, as Wine's msiexec registers it",
     [] {
         sim::InstallService(
             {.imagePath = "C:\\Program Files\\Joyvane\\joyvane_service.exe 4 1 0 30 250",
              .state = SERVICE_START_PENDING});
     },
     1,
     "service \"ZUR Service 1.02\": START_PENDING, process 4096\n"
     "exit code: 0 (no error)\n"
     "start: automatic, as LocalSystem\n"
     "command line: C:\\Program Files\\Joyvane\\joyvane_service.exe 4 1 0 30 250\n"
     "warning: the program's path is not quoted, so on Windows the service takes the words of "
     "its path for its first numbers; --configure writes it quoted\n"
     "settings: button 4, mode 1 (pulse), normal values, poll every 30 ms, clicks of 250 ms\n"
     "program: C:\\Program Files\\Joyvane\\joyvane_service.exe: error 2 (file not found)\n"
     "capture library: C:\\Program Files\\Joyvane\\ZUR_USBIO_KAD.dll: missing: put the 32-bit "
     "ZUR_USBIO_KAD.dll there, or in System32\n"},
    {"four numbers, a program without version information",
     [] {
         sim::InstallService({.imagePath = "\"C:\\Joyvane\\joyvane_service.exe\" 4 1 0 30",
                              .exitCode = ERROR_INVALID_PARAMETER});
         sim::AddFile(programPath);
         sim::InstallCaptureLibrary();
     },
     1,
     "service \"ZUR Service 1.02\": STOPPED\n"
     "exit code: 87 (invalid parameter: a mode other than 0, 1 or 2, or fewer than five "
     "numbers)\n"
     "start: automatic, as LocalSystem\n"
     "command line: \"C:\\Joyvane\\joyvane_service.exe\" 4 1 0 30\n"
     "settings: 4 of the five numbers: the service's start fails with error 87\n"
     "program: C:\\Joyvane\\joyvane_service.exe: error 1812 (no resources at all)\n"
     "capture library: C:\\Joyvane\\ZUR_USBIO_KAD.dll\n"},
    {"a version resource cut short",
     [] {
         std::vector<uint8_t> cut = sim::VersionResource(1, 2, 0, 0);
         cut.resize(60);
         sim::AddFile("C:\\Joyvane\\Joyvane_Service.EXE", cut);
         sim::InstallService({.imagePath = "\"C:\\Joyvane\\Joyvane_Service.EXE\" 4 1 0 30 250"});
         sim::InstallCaptureLibrary();
     },
     1,
     "service \"ZUR Service 1.02\": STOPPED\n"
     "exit code: 0 (no error)\n"
     "start: automatic, as LocalSystem\n"
     "command line: \"C:\\Joyvane\\Joyvane_Service.EXE\" 4 1 0 30 250\n"
     "settings: button 4, mode 1 (pulse), normal values, poll every 30 ms, clicks of 250 ms\n"
     "program: C:\\Joyvane\\Joyvane_Service.EXE: error 13 (invalid data)\n"
     "capture library: C:\\Joyvane\\ZUR_USBIO_KAD.dll\n"},
    {"a command line without a program",
     [] {
         sim::InstallService({.imagePath = "\"C:\\Joyvane\\joyvane_service.exe 4 1 0 30 250",
                              .exitCode = ERROR_FILE_NOT_FOUND});
     },
     1,
     "service \"ZUR Service 1.02\": STOPPED\n"
     "exit code: 2 (file not found)\n"
     "start: automatic, as LocalSystem\n"
     "command line: \"C:\\Joyvane\\joyvane_service.exe 4 1 0 30 250\n"
     "settings: the command line cannot be taken apart: no program path ending in .exe\n"},
    {"the service manager refuses a connection",
     RunningWith({.call = "OpenSCManagerA", .error = ERROR_ACCESS_DENIED}), 3,
     "OpenSCManagerA failed: error 5 (access denied)\n"},
    {"the service cannot be opened",
     RunningWith({.call = "OpenServiceA", .error = ERROR_SERVICE_MARKED_FOR_DELETE}), 3,
     "OpenServiceA failed: error 1072 (the service is marked for deletion)\n"},
    {"its status cannot be read", RunningWith({.call = "QueryServiceStatusEx"}), 3,
     "QueryServiceStatusEx failed: error 6 (invalid handle)\n"},
    {"its configuration cannot be read", RunningWith({.call = "QueryServiceConfigA"}), 0,
     "service \"ZUR Service 1.02\": RUNNING, process 4242\n"
     "exit code: 0 (no error)\n"
     "QueryServiceConfigA failed: error 6 (invalid handle)\n"},
    {"no memory for its configuration", RunningWith({.call = "LocalAlloc"}), 0,
     "service \"ZUR Service 1.02\": RUNNING, process 4242\n"
     "exit code: 0 (no error)\n"
     "QueryServiceConfigA failed: error 8 (not enough memory)\n"},
    {"its configuration grows between the two reads",
     RunningWith(
         {.call = "QueryServiceConfigA", .firstCall = 2, .error = ERROR_INSUFFICIENT_BUFFER}),
     0, runningLines},
    {"the version resource cannot be loaded", RunningWith({.call = "LoadResource"}), 0,
     "service \"ZUR Service 1.02\": RUNNING, process 4242\n"
     "exit code: 0 (no error)\n"
     "start: automatic, as LocalSystem\n"
     "command line: " +
         quotedLine +
         "\n"
         "settings: button 4, mode 1 (pulse), normal values, poll every 30 ms, clicks of 250 ms\n"
         "program: C:\\Joyvane\\joyvane_service.exe: error 1812 (no resources at all)\n"
         "capture library: C:\\Joyvane\\ZUR_USBIO_KAD.dll\n"},
};

class StatusTest : public ProductTestWithParam<StatusCase> {};

TEST_P(StatusTest, PrintsTheInstalledServiceAndExitsWithItsState) {
    const StatusCase& c = GetParam();
    if (c.arrange) {
        c.arrange();
    }
    EXPECT_EQ(c.exitCode, RunConsole({"--status"})) << c.why;
    EXPECT_EQ(c.output, sim::TakeStdout()) << c.why;
    EXPECT_EQ(sim::Resources{}, sim::Held()) << c.why;
    // Read only: nothing but the rights to look.
    for (const sim::Call& call : sim::CallsNamed("OpenSCManagerA")) {
        EXPECT_EQ(std::vector<int64_t>{SC_MANAGER_CONNECT}, call.values.numbers) << c.why;
    }
    for (const sim::Call& call : sim::CallsNamed("OpenServiceA")) {
        EXPECT_EQ(SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS, call.values.numbers.at(1)) << c.why;
    }
    EXPECT_TRUE(sim::CallsNamed("ChangeServiceConfigA").empty()) << c.why;
    EXPECT_TRUE(sim::CallsNamed("RegCreateKeyExA").empty()) << c.why;
    EXPECT_TRUE(sim::CallsNamed("ControlService").empty()) << c.why;
}

INSTANTIATE_TEST_SUITE_P(Services, StatusTest, ::testing::ValuesIn(statusCases),
                         NamedBy<&StatusCase::why>());

// The capture library is looked at, never loaded: a look runs nothing of it.
TEST_F(ProductTest, StatusLoadsOnlyTheProgramAndThatAsData) {
    InstallRunning();
    EXPECT_EQ(0, RunConsole({"--status"}));
    std::vector<sim::Call> loads = sim::CallsNamed("LoadLibraryExA");
    ASSERT_EQ(1u, loads.size());
    EXPECT_EQ(
        (sim::CallValues{.result = 1,
                         .numbers = {LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE},
                         .pointers = {sim::Pointer::null},
                         .strings = {programPath}}),
        loads[0].values);
    EXPECT_EQ(0, sim::ModuleLoads("ZUR_USBIO_KAD.dll"));
}

struct ParseCase {
    const char* why;
    const char* imagePath;
    int parsed;
    const char* programPath;
    bool quoted;
    std::vector<std::string> words;
};
PRINTED_BY_TEST_NAME(ParseCase)

const ParseCase parseCases[] = {
    {"quoted",
     "\"C:\\Program Files\\Joyvane\\joyvane_service.exe\" 4 1 0 30 250",
     1,
     "C:\\Program Files\\Joyvane\\joyvane_service.exe",
     true,
     {"4", "1", "0", "30", "250"}},
    {"unquoted with blanks",
     "C:\\Program Files\\Joyvane\\joyvane_service.exe 5 2",
     1,
     "C:\\Program Files\\Joyvane\\joyvane_service.exe",
     false,
     {"5", "2"}},
    {"unquoted, upper-case EXE, tabs",
     "C:\\J\\SVC.EXE\t4\t\t1",
     1,
     "C:\\J\\SVC.EXE",
     false,
     {"4", "1"}},
    {"a .exe inside a folder name",
     "C:\\a.exe dir\\b.exe 3",
     1,
     "C:\\a.exe",
     false,
     {"dir\\b.exe", "3"}},
    {"quoted words and backslashes as the C runtime reads them",
     "\"C:\\j.exe\" \"4 1\" a\\\\\"b c\" d\\\"e f\\g",
     1,
     "C:\\j.exe",
     true,
     {"4 1", "a\\b c", "d\"e", "f\\g"}},
    {"no words", "\"C:\\j.exe\"", 1, "C:\\j.exe", true, {}},
    {"no closing quote", "\"C:\\j.exe 4 1 0 30 250", 0, "", false, {}},
    {"text glued to the closing quote", "\"C:\\j.exe\"4 1 0 30 250", 0, "", false, {}},
    {"no .exe", "C:\\Joyvane\\joyvane_service 4 1 0 30 250", 0, "", false, {}},
    {"empty quotes", "\"\" 4", 0, "", false, {}},
    {"empty", "", 0, "", false, {}},
};

class ParseTest : public ProductTestWithParam<ParseCase> {};

TEST_P(ParseTest, TakesTheRegisteredCommandLineApartAsTheServiceWill) {
    const ParseCase& c = GetParam();
    RegisteredCommandLine line;
    ASSERT_EQ(c.parsed, ParseRegisteredCommandLine(c.imagePath, &line)) << c.why;
    if (c.parsed == 0) {
        return;
    }
    EXPECT_STREQ(c.programPath, line.programPath) << c.why;
    EXPECT_EQ(c.quoted, line.quoted) << c.why;
    std::vector<std::string> words(line.words, line.words + line.wordCount);
    EXPECT_EQ(c.words, words) << c.why;
}

INSTANTIATE_TEST_SUITE_P(Lines, ParseTest, ::testing::ValuesIn(parseCases),
                         NamedBy<&ParseCase::why>());

} // namespace
