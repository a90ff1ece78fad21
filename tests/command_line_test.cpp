#include <climits>
#include <string>
#include <vector>

#include "service/service_config.h"
#include "tests/product_fixture.h"

namespace {

class CommandLineTest : public ProductTest {
  protected:
    int Parse(std::vector<std::string> args) {
        args.insert(args.begin(), "joyvane_service.exe");
        return RunMain(ParseCommandLine, args);
    }
};

// Button, mode, inverted, poll pause, click length.
std::vector<int32_t> Config() {
    return {serviceConfig.buttonNumber, serviceConfig.mode, serviceConfig.inverted,
            serviceConfig.pollIntervalMs, serviceConfig.pulseMs};
}

struct ParsedCase {
    const char* why;
    std::vector<std::string> args;
    std::vector<int32_t> config;
};
PRINTED_BY_TEST_NAME(ParsedCase)

const ParsedCase parsedCases[] = {
    {"five arguments", {"5", "2", "1", "40", "120"}, {5, 2, 1, 40, 120}},
    {"arguments after the fifth are ignored",
     {"3", "1", "0", "10", "20", "junk", "7"},
     {3, 1, 0, 10, 20}},
    {"words for durations give zero", {"4", "x", "y", "pause", "click"}, {4, 0, 0, 0, 0}},
    {"negatives are kept as given", {"4", "9", "2", "-30", "-250"}, {4, 9, 2, -30, -250}},
};

class ParsedTest : public CommandLineTest, public ::testing::WithParamInterface<ParsedCase> {};

TEST_P(ParsedTest, FillsTheConfigurationAndTracesTheStart) {
    EXPECT_EQ(1, Parse(GetParam().args));
    EXPECT_EQ(GetParam().config, Config());
    EXPECT_TRUE(sim::CallsNamed("MessageBoxA").empty());
    EXPECT_EQ(std::vector<std::string>{"ZUR Joyvane: INIT - VideoCaptureResources...."},
              sim::DebugLines());
}

INSTANTIATE_TEST_SUITE_P(Arguments, ParsedTest, ::testing::ValuesIn(parsedCases),
                         NamedBy<&ParsedCase::why>());

TEST_F(CommandLineTest, TooFewArgumentsShowTheMessageBoxAndChangeNothing) {
    for (size_t count = 0; count < 5; ++count) {
        sim::Reset();
        std::vector<std::string> args(count, "2");
        EXPECT_EQ(0, Parse(args)) << count << " arguments";
        std::vector<sim::Call> boxes = sim::CallsNamed("MessageBoxA");
        ASSERT_EQ(1u, boxes.size());
        EXPECT_EQ((sim::CallValues{
                      .result = 1, // IDOK
                      .numbers = {MB_OK},
                      .pointers = {sim::Pointer::null},
                      .strings = {"Error: Wrong number of arguments !", "ZUR Joyvane Service"}}),
                  boxes[0].values)
            << boxes[0].args;
        EXPECT_TRUE(sim::DebugLines().empty());
        EXPECT_EQ((std::vector<int32_t>{4, 0, 0, 30, 250}), Config());
    }
}

struct ButtonCase {
    const char* arg;
    int32_t button;
};
PRINTED_BY_TEST_NAME(ButtonCase)

const ButtonCase buttonCases[] = {
    {"7", 7},  {"2", 2},     {"1", 1},           {"8", 1},    {"0", 1},
    {"-3", 1}, {"word", 1},  {" 5", 5},          {"3abc", 3}, {"+6", 6},
    {"", 1},   {"\t\n4", 4}, {"99999999999", 1}, {"-2", 1},   {"0x5", 1},
};

class ButtonArgumentTest : public CommandLineTest,
                           public ::testing::WithParamInterface<ButtonCase> {};

TEST_P(ButtonArgumentTest, FirstArgumentSelectsButtonsTwoToSevenAndOtherwiseButtonOne) {
    const ButtonCase& c = GetParam();
    EXPECT_EQ(c.button, ButtonNumberFromArg(c.arg));
    EXPECT_EQ(1, Parse({c.arg, "0", "0", "30", "250"}));
    EXPECT_EQ(c.button, serviceConfig.buttonNumber);
}

INSTANTIATE_TEST_SUITE_P(Arguments, ButtonArgumentTest, ::testing::ValuesIn(buttonCases),
                         [](const ::testing::TestParamInfo<ButtonCase>& info) {
                             return "Arg" + SpelledOut(info.param.arg);
                         });

struct DecimalCase {
    const char* text;
    int32_t value;
};
PRINTED_BY_TEST_NAME(DecimalCase)

// The C runtime's atoi, including its quirks; out-of-range text saturates as the
// Windows runtime's atoi does instead of overflowing.
const DecimalCase decimalCases[] = {
    {"250", 250},
    {"  \t42x", 42},
    {"-17", -17},
    {"+8", 8},
    {"-0", 0},
    {"+-3", 0},
    {"- 3", 0},
    {"word", 0},
    {"", 0},
    {"0x10", 0},
    {"1e3", 1},
    {"007", 7},
    {"2147483647", INT32_MAX},
    {"2147483648", INT32_MAX},
    {"99999999999999999999999", INT32_MAX},
    {"-2147483648", INT32_MIN},
    {"-2147483649", INT32_MIN},
    {"-99999999999999999999999", INT32_MIN},
};

using ParseDecimalTest = ProductTestWithParam<DecimalCase>;

TEST_P(ParseDecimalTest, ReadsTextTheWayAtoiDoes) {
    EXPECT_EQ(GetParam().value, ParseDecimal(GetParam().text));
}

INSTANTIATE_TEST_SUITE_P(Texts, ParseDecimalTest, ::testing::ValuesIn(decimalCases),
                         [](const ::testing::TestParamInfo<DecimalCase>& info) {
                             return "Text" + SpelledOut(info.param.text);
                         });

} // namespace
