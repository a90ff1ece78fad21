// "joyvane_console --configure B M I P C" on the simulated machine: the round
// trip (the command line rewritten with the path quoted, the installer's
// registry values, the restart), the numbers it refuses, a user without rights,
// and every call that can fail, each leaving the service as the line says.
#include <functional>
#include <string>
#include <vector>

#include "service/console_runner.h"
#include "tests/product_fixture.h"

namespace {

constexpr const char* key = "HKLM\\SOFTWARE\\WOW6432Node\\Joyvane";
const char* const valueNames[] = {"BUTTON", "MODE", "INVERTED", "POLL_MS", "CLICK_MS"};
const std::string oldLine = "\"C:\\Joyvane\\joyvane_service.exe\" 4 1 0 30 250";
const std::string newLine = "\"C:\\Joyvane\\joyvane_service.exe\" 5 2 0 30 200";
const std::vector<std::string> newNumbers = {"5", "2", "0", "30", "200"};

int Configure(std::vector<std::string> numbers) {
    numbers.insert(numbers.begin(), "--configure");
    return RunConsole(numbers);
}

void InstallRunning() {
    sim::InstallService({.imagePath = oldLine, .state = SERVICE_RUNNING});
}

// The five values as the registry holds them ("" for a missing one), terminators
// and all.
std::vector<std::string> Values() {
    std::vector<std::string> values;
    for (const char* name : valueNames) {
        std::optional<sim::RegistryValue> value = sim::GetRegistryValue(key, name);
        values.push_back(!value ? "" : value->type == REG_SZ ? value->data : "not REG_SZ");
    }
    return values;
}

std::vector<std::string> Written(const std::vector<std::string>& numbers) {
    std::vector<std::string> values;
    for (const std::string& number : numbers) {
        values.push_back(number + std::string(1, '\0'));
    }
    return values;
}

const std::vector<std::string> noValues(5, "");

// The service calls in order, a status read with the state it saw, repeats of
// the same read folded into one.
std::vector<std::string> ServiceStory() {
    std::vector<std::string> story;
    for (const sim::Call& call : sim::Calls()) {
        std::string entry = call.name;
        if (call.name == "QueryServiceStatusEx") {
            entry += " " + std::to_string(call.values.numbers.at(3));
        } else if (call.name != "ControlService" && call.name != "StartServiceA" &&
                   call.name != "ChangeServiceConfigA") {
            continue;
        }
        if (story.empty() || story.back() != entry) {
            story.push_back(entry);
        }
    }
    return story;
}

TEST_F(ProductTest, ConfigureRewritesTheCommandLineRecordsTheNumbersAndRestarts) {
    InstallRunning();
    sim::SetRegistryValue(key, "Installer", {REG_SZ, std::string("msi\0", 4)});
    EXPECT_EQ(0, Configure(newNumbers));
    EXPECT_EQ("settings: 4 1 0 30 250 -> 5 2 0 30 200\n"
              "command line: " +
                  newLine +
                  "\n"
                  "registry: HKLM\\SOFTWARE\\Joyvane: BUTTON=5 MODE=2 INVERTED=0 POLL_MS=30 "
                  "CLICK_MS=200\n"
                  "service: stopped and started again: RUNNING\n",
              sim::TakeStdout());
    EXPECT_EQ(newLine, sim::Service()->imagePath);
    EXPECT_EQ(SERVICE_RUNNING, sim::Service()->state);
    EXPECT_EQ(Written(newNumbers), Values());
    EXPECT_EQ((sim::RegistryValue{REG_SZ, std::string("msi\0", 4)}),
              sim::GetRegistryValue(key, "Installer"));
    EXPECT_FALSE(sim::RegistryKeyExists("HKLM\\SOFTWARE\\Joyvane"));
    // Stop, wait for STOPPED, start, wait for RUNNING: the service's own state
    // between, on the virtual clock (stopped 200 ms, started 300 ms later).
    EXPECT_EQ((std::vector<std::string>{"QueryServiceStatusEx 4", "ChangeServiceConfigA",
                                        "ControlService", "QueryServiceStatusEx 3",
                                        "QueryServiceStatusEx 1", "StartServiceA",
                                        "QueryServiceStatusEx 2", "QueryServiceStatusEx 4"}),
              ServiceStory());
    std::vector<sim::Call> change = sim::CallsNamed("ChangeServiceConfigA");
    ASSERT_EQ(1u, change.size());
    EXPECT_EQ((std::vector<int64_t>{change[0].values.numbers[0], SERVICE_NO_CHANGE,
                                    SERVICE_NO_CHANGE, SERVICE_NO_CHANGE}),
              change[0].values.numbers);
    EXPECT_EQ(std::vector<sim::Pointer>(6, sim::Pointer::null), change[0].values.pointers);
    std::vector<sim::Call> create = sim::CallsNamed("RegCreateKeyExA");
    ASSERT_EQ(1u, create.size());
    EXPECT_EQ(KEY_SET_VALUE | KEY_WOW64_32KEY, create[0].values.numbers.at(3));
    EXPECT_EQ(SC_MANAGER_CONNECT, sim::CallsNamed("OpenSCManagerA").at(0).values.numbers.at(0));
    EXPECT_EQ(SERVICE_QUERY_CONFIG | SERVICE_CHANGE_CONFIG | SERVICE_QUERY_STATUS | SERVICE_STOP |
                  SERVICE_START,
              sim::CallsNamed("OpenServiceA").at(0).values.numbers.at(1));
    EXPECT_EQ(sim::Resources{}, sim::Held());
}

struct RoundTripCase {
    const char* why;
    sim::InstalledService service;
    std::vector<std::string> numbers;
    std::string output;
    std::string imagePath;
    std::vector<std::string> story;
};
PRINTED_BY_TEST_NAME(RoundTripCase)

const RoundTripCase roundTrips[] = {
    {"a stopped service is not started",
     {.imagePath = oldLine, .exitCode = ERROR_MOD_NOT_FOUND},
     newNumbers,
     "settings: 4 1 0 30 250 -> 5 2 0 30 200\ncommand line: " + newLine +
         "\nregistry: HKLM\\SOFTWARE\\Joyvane: BUTTON=5 MODE=2 INVERTED=0 POLL_MS=30 "
         "CLICK_MS=200\nservice: not running; the new settings apply at its next start\n",
     newLine,
     {"QueryServiceStatusEx 1", "ChangeServiceConfigA"}},
    {"the unquoted path of an MSI installation is written quoted",
     {.imagePath = "C:\\Program Files\\Joyvane\\joyvane_service.exe 4 1 0 30 250",
      .state = SERVICE_RUNNING},
     {"-32767", "0", "1", "32767", "-1"},
     "settings: 4 1 0 30 250 -> -32767 0 1 32767 -1\ncommand line: \"C:\\Program "
     "Files\\Joyvane\\joyvane_service.exe\" -32767 0 1 32767 -1\nregistry: "
     "HKLM\\SOFTWARE\\Joyvane: BUTTON=-32767 MODE=0 INVERTED=1 POLL_MS=32767 CLICK_MS=-1\n"
     "service: stopped and started again: RUNNING\n",
     "\"C:\\Program Files\\Joyvane\\joyvane_service.exe\" -32767 0 1 32767 -1",
     {"QueryServiceStatusEx 4", "ChangeServiceConfigA", "ControlService", "QueryServiceStatusEx 3",
      "QueryServiceStatusEx 1", "StartServiceA", "QueryServiceStatusEx 2",
      "QueryServiceStatusEx 4"}},
    {"a command line with four words and more blanks",
     {.imagePath = "  \"C:\\Joyvane\\joyvane_service.exe\"   4  1 0 30", .state = SERVICE_PAUSED},
     newNumbers,
     "settings: 4 1 0 30 -> 5 2 0 30 200\ncommand line: " + newLine +
         "\nregistry: HKLM\\SOFTWARE\\Joyvane: BUTTON=5 MODE=2 INVERTED=0 POLL_MS=30 "
         "CLICK_MS=200\nservice: PAUSED, not restarted; the new settings apply at its next "
         "start\n",
     newLine,
     {"QueryServiceStatusEx 7", "ChangeServiceConfigA"}},
};

class RoundTripTest : public ProductTestWithParam<RoundTripCase> {};

TEST_P(RoundTripTest, WritesTheNumbersBehindTheQuotedPath) {
    const RoundTripCase& c = GetParam();
    sim::InstallService(c.service);
    EXPECT_EQ(0, Configure(c.numbers)) << c.why;
    EXPECT_EQ(c.output, sim::TakeStdout()) << c.why;
    EXPECT_EQ(c.imagePath, sim::Service()->imagePath) << c.why;
    EXPECT_EQ(Written(c.numbers), Values()) << c.why;
    EXPECT_EQ(c.story, ServiceStory()) << c.why;
    EXPECT_EQ(sim::Resources{}, sim::Held()) << c.why;
}

INSTANTIATE_TEST_SUITE_P(Services, RoundTripTest, ::testing::ValuesIn(roundTrips),
                         NamedBy<&RoundTripCase::why>());

struct RefusedCase {
    const char* why;
    std::vector<std::string> numbers;
    std::string line;
};
PRINTED_BY_TEST_NAME(RefusedCase)

std::string NotPlain(const char* name, const char* text) {
    return std::string(name) + " \"" + text +
           "\" refused: a whole number from -32767 to 32767 is needed, in digits with at most a "
           "leading minus and no leading zeros; nothing changed\n";
}

const RefusedCase refusedCases[] = {
    {"mode 3",
     {"5", "3", "0", "30", "200"},
     "MODE \"3\" refused: the service takes 0, 1 or 2 only; nothing changed\n"},
    {"mode -1",
     {"5", "-1", "0", "30", "200"},
     "MODE \"-1\" refused: the service takes 0, 1 or 2 only; nothing changed\n"},
    {"a plus sign", {"+5", "2", "0", "30", "200"}, NotPlain("BUTTON", "+5")},
    {"a leading blank", {"5", " 2", "0", "30", "200"}, NotPlain("MODE", " 2")},
    {"a trailing blank", {"5", "2", "0 ", "30", "200"}, NotPlain("INVERTED", "0 ")},
    {"quotes", {"5", "2", "0", "\"30\"", "200"}, NotPlain("POLL_MS", "\"30\"")},
    {"a leading zero", {"5", "2", "0", "30", "0200"}, NotPlain("CLICK_MS", "0200")},
    {"minus zero", {"5", "2", "-0", "30", "200"}, NotPlain("INVERTED", "-0")},
    {"32768", {"5", "2", "0", "32768", "200"}, NotPlain("POLL_MS", "32768")},
    {"-32768", {"-32768", "2", "0", "30", "200"}, NotPlain("BUTTON", "-32768")},
    {"a word", {"5", "2", "0", "30", "fast"}, NotPlain("CLICK_MS", "fast")},
    {"an empty number", {"", "2", "0", "30", "200"}, NotPlain("BUTTON", "")},
    {"a lone minus", {"5", "2", "0", "-", "200"}, NotPlain("POLL_MS", "-")},
    {"an ampersand", {"5", "2", "0", "30", "200&x"}, NotPlain("CLICK_MS", "200&x")},
};

class RefusedTest : public ProductTestWithParam<RefusedCase> {};

TEST_P(RefusedTest, ChangesNothingAndNamesTheNumber) {
    const RefusedCase& c = GetParam();
    InstallRunning();
    EXPECT_EQ(2, Configure(c.numbers)) << c.why;
    EXPECT_EQ(c.line, sim::TakeStdout()) << c.why;
    EXPECT_EQ(oldLine, sim::Service()->imagePath) << c.why;
    EXPECT_TRUE(CallNames("OpenSC").empty()) << c.why;
    EXPECT_TRUE(CallNames("Reg").empty()) << c.why;
    EXPECT_TRUE(sim::CallsNamed("ChangeServiceConfigA").empty()) << c.why;
}

INSTANTIATE_TEST_SUITE_P(Numbers, RefusedTest, ::testing::ValuesIn(refusedCases),
                         NamedBy<&RefusedCase::why>());

struct FailureCase {
    const char* why;
    std::function<void()> arrange;
    int exitCode;
    std::string output;
    std::string imagePath;           // afterwards
    std::vector<std::string> values; // afterwards
    DWORD state;                     // afterwards
};
PRINTED_BY_TEST_NAME(FailureCase)

const std::string changedLines =
    "settings: 4 1 0 30 250 -> 5 2 0 30 200\ncommand line: " + newLine +
    "\nregistry: HKLM\\SOFTWARE\\Joyvane: BUTTON=5 MODE=2 INVERTED=0 POLL_MS=30 CLICK_MS=200\n";

const FailureCase failureCases[] = {
    {"a user without administrator rights", [] { sim::SetAdministrator(false); }, 1,
     "OpenServiceA failed: error 5 (access denied): run it as administrator\nnothing changed\n",
     oldLine, noValues, SERVICE_RUNNING},
    {"no service manager", [] { sim::AddFault({.call = "OpenSCManagerA"}); }, 1,
     "OpenSCManagerA failed: error 5 (access denied): run it as administrator\nnothing changed\n",
     oldLine, noValues, SERVICE_RUNNING},
    {"not installed",
     [] { sim::AddFault({.call = "OpenServiceA", .error = ERROR_SERVICE_DOES_NOT_EXIST}); }, 1,
     "OpenServiceA failed: error 1060 (the service is not installed)\nnothing changed\n", oldLine,
     noValues, SERVICE_RUNNING},
    {"the registry refuses the key", [] { sim::AddFault({.call = "RegCreateKeyExA"}); }, 1,
     "RegCreateKeyExA failed: error 5 (access denied): run it as administrator\nnothing "
     "changed\n",
     oldLine, noValues, SERVICE_RUNNING},
    {"the configuration cannot be read", [] { sim::AddFault({.call = "QueryServiceConfigA"}); }, 1,
     "QueryServiceConfigA failed: error 6 (invalid handle)\nnothing changed\n", oldLine, noValues,
     SERVICE_RUNNING},
    {"a command line that cannot be taken apart",
     [] {
         sim::InstallService(
             {.imagePath = "C:\\Joyvane\\joyvane_service 4 1 0 30 250", .state = SERVICE_RUNNING});
     },
     1,
     "the registered command line cannot be taken apart: C:\\Joyvane\\joyvane_service 4 1 0 30 "
     "250\nnothing changed\n",
     "C:\\Joyvane\\joyvane_service 4 1 0 30 250", noValues, SERVICE_RUNNING},
    {"the status cannot be read", [] { sim::AddFault({.call = "QueryServiceStatusEx"}); }, 1,
     "QueryServiceStatusEx failed: error 6 (invalid handle)\nnothing changed\n", oldLine, noValues,
     SERVICE_RUNNING},
    {"the change is refused", [] { sim::AddFault({.call = "ChangeServiceConfigA"}); }, 1,
     "ChangeServiceConfigA failed: error 5 (access denied): run it as administrator\nnothing "
     "changed\n",
     oldLine, noValues, SERVICE_RUNNING},
    {"the first value is refused",
     [] { sim::AddFault({.call = "RegSetValueExA", .error = ERROR_NOT_ENOUGH_MEMORY}); }, 1,
     "RegSetValueExA failed: error 8 (not enough memory)\nnothing changed\n", oldLine, noValues,
     SERVICE_RUNNING},
    {"the third value is refused: the two before get the old numbers back",
     [] { sim::AddFault({.call = "RegSetValueExA", .firstCall = 3}); }, 1,
     "RegSetValueExA failed: error 5 (access denied): run it as administrator\nnothing "
     "changed\n",
     oldLine, Written({"4", "1", "0", "30", "250"}), SERVICE_RUNNING},
    {"a value refused and the old command line too",
     [] {
         sim::AddFault({.call = "RegSetValueExA", .firstCall = 2});
         sim::AddFault({.call = "ChangeServiceConfigA", .firstCall = 2});
     },
     1,
     "RegSetValueExA failed: error 5 (access denied): run it as administrator\n"
     "ChangeServiceConfigA failed: error 5 (access denied): run it as administrator\n"
     "command line: " +
         newLine + " (the new one stays)\n",
     newLine,
     {std::string("5\0", 2), "", "", "", ""},
     SERVICE_RUNNING},
    {"the third value is refused where the old numbers are no five numbers",
     [] {
         sim::InstallService(
             {.imagePath = "\"C:\\Joyvane\\joyvane_service.exe\" 4 1 0", .state = SERVICE_RUNNING});
         sim::AddFault({.call = "RegSetValueExA", .firstCall = 3});
     },
     1,
     "RegSetValueExA failed: error 5 (access denied): run it as administrator\n"
     "command line: \"C:\\Joyvane\\joyvane_service.exe\" 4 1 0 (put back)\n"
     "registry: 2 of the values in HKLM\\SOFTWARE\\Joyvane are new\n",
     "\"C:\\Joyvane\\joyvane_service.exe\" 4 1 0",
     {std::string("5\0", 2), std::string("2\0", 2), "", "", ""},
     SERVICE_RUNNING},
    {"no memory for the configuration", [] { sim::AddFault({.call = "LocalAlloc"}); }, 1,
     "QueryServiceConfigA failed: error 8 (not enough memory)\nnothing changed\n", oldLine,
     noValues, SERVICE_RUNNING},
    {"the stop control is refused", [] { sim::AddFault({.call = "ControlService"}); }, 1,
     changedLines + "ControlService failed: error 5 (access denied): run it as administrator\n"
                    "service: still running with the old settings; they change at its next "
                    "start\n",
     newLine, Written(newNumbers), SERVICE_RUNNING},
    {"the service does not stop",
     [] {
         sim::InstallService(
             {.imagePath = oldLine, .state = SERVICE_RUNNING, .answersStop = false});
     },
     1,
     changedLines + "service: not stopped within 10 s (STOP_PENDING); the new settings apply at "
                    "its next start\n",
     newLine, Written(newNumbers), SERVICE_STOP_PENDING},
    {"the start is refused", [] { sim::AddFault({.call = "StartServiceA"}); }, 1,
     changedLines + "StartServiceA failed: error 5 (access denied): run it as administrator\n"
                    "service: stopped; start it again to run with the new settings\n",
     newLine, Written(newNumbers), SERVICE_STOPPED},
    {"the service gives up at its start",
     [] {
         sim::InstallService({.imagePath = oldLine,
                              .state = SERVICE_RUNNING,
                              .startExitCode = ERROR_MOD_NOT_FOUND});
     },
     1,
     changedLines + "service: stopped at its start with exit code 126 (module not found) "
                    "(\"joyvane_console --status\" says more)\n",
     newLine, Written(newNumbers), SERVICE_STOPPED},
    {"the service takes longer than 10 s to start",
     [] {
         sim::InstallService({.imagePath = oldLine, .state = SERVICE_RUNNING, .startMs = 20000});
     },
     1, changedLines + "service: not running within 10 s (START_PENDING)\n", newLine,
     Written(newNumbers), SERVICE_START_PENDING},
    {"the status cannot be read while it stops",
     [] { sim::AddFault({.call = "QueryServiceStatusEx", .firstCall = 2}); }, 1,
     changedLines + "QueryServiceStatusEx failed: error 6 (invalid handle)\n"
                    "service: its state cannot be read; \"joyvane_console --status\" shows it\n",
     newLine, Written(newNumbers), SERVICE_STOP_PENDING},
};

class FailureTest : public ProductTestWithParam<FailureCase> {};

TEST_P(FailureTest, SaysWhichCallFailedAndWhatStayedAsItWas) {
    const FailureCase& c = GetParam();
    InstallRunning();
    c.arrange();
    EXPECT_EQ(c.exitCode, Configure(newNumbers)) << c.why;
    EXPECT_EQ(c.output, sim::TakeStdout()) << c.why;
    EXPECT_EQ(c.imagePath, sim::Service()->imagePath) << c.why;
    EXPECT_EQ(c.values, Values()) << c.why;
    EXPECT_EQ(c.state, sim::Service()->state) << c.why;
    EXPECT_EQ(sim::Resources{}, sim::Held()) << c.why;
}

INSTANTIATE_TEST_SUITE_P(Calls, FailureTest, ::testing::ValuesIn(failureCases),
                         NamedBy<&FailureCase::why>());

// Nothing is changed before everything that could refuse has been opened: a
// refusal of the registry cannot come after the service was changed.
TEST_F(ProductTest, ConfigureOpensTheServiceAndTheKeyBeforeItChangesAnything) {
    InstallRunning();
    EXPECT_EQ(0, Configure(newNumbers));
    std::vector<std::string> names;
    for (const sim::Call& call : sim::Calls()) {
        if (call.name == "OpenServiceA" || call.name == "RegCreateKeyExA" ||
            call.name == "ChangeServiceConfigA" || call.name == "RegSetValueExA") {
            names.push_back(call.name);
        }
    }
    EXPECT_EQ((std::vector<std::string>{"OpenServiceA", "RegCreateKeyExA", "ChangeServiceConfigA",
                                        "RegSetValueExA", "RegSetValueExA", "RegSetValueExA",
                                        "RegSetValueExA", "RegSetValueExA"}),
              names);
}

TEST_F(ProductTest, ConfigureAndStatusWantTheirExactArguments) {
    InstallRunning();
    for (std::vector<std::string> args :
         std::vector<std::vector<std::string>>{{"--configure", "5", "2", "0", "30"},
                                               {"--configure", "5", "2", "0", "30", "200", "7"},
                                               {"--status", "4"},
                                               {"--statu"}}) {
        EXPECT_EQ(2, RunConsole(args)) << args[0];
    }
    EXPECT_TRUE(CallNames("OpenSC").empty());
    EXPECT_EQ(oldLine, sim::Service()->imagePath);
}

} // namespace
