#include <string>

#include "bridge/button_masks.h"
#include "tests/product_fixture.h"

namespace {

TEST(ButtonBit, MapsButtonsOneToEightToTheirBitAndAnythingElseToZero) {
    const int32_t expected[] = {0, 1, 2, 4, 8, 16, 32, 64, 128, 0, 0};
    for (int32_t n = 0; n <= 10; ++n) {
        EXPECT_EQ(expected[n], ButtonBit(n)) << n;
    }
    EXPECT_EQ(0, ButtonBit(-1));
    EXPECT_EQ(0, ButtonBit(INT32_MIN));
    EXPECT_EQ(0, ButtonBit(INT32_MAX));
}

struct MaskCase {
    int32_t mode, button, inverted;
    int32_t press, second, idle;
};
PRINTED_BY_TEST_NAME(MaskCase)

const MaskCase maskCases[] = {
    // Normal values: the pressed button's bit, nothing at rest.
    {0, 4, 0, 8, 16, 0},
    {1, 4, 0, 8, 16, 0},
    {2, 4, 0, 8, 16, 0},
    {2, 7, 0, 64, 128, 0},
    {0, 1, 0, 1, 2, 0},
    // Only 1 selects inverted values.
    {0, 4, 2, 8, 16, 0},
    {2, 4, -1, 8, 16, 0},
    // Inverted: a pressed button is a cleared bit.
    {0, 4, 1, 0, 16, 8},
    {1, 4, 1, 0, 16, 8},
    {2, 4, 1, 16, 8, 24},
    {2, 7, 1, 128, 64, 192},
    {7, 4, 1, 0, 16, 8},
};

using ComputeButtonMasksTest = ProductTestWithParam<MaskCase>;

TEST_P(ComputeButtonMasksTest, FollowsTheConfiguration) {
    const MaskCase& c = GetParam();
    ComputeButtonMasks(c.mode, c.button, c.inverted);
    EXPECT_EQ(c.press, buttonMasks.pressMask.load());
    EXPECT_EQ(c.second, buttonMasks.secondMask.load());
    EXPECT_EQ(c.idle, buttonMasks.idleMask.load());
}

INSTANTIATE_TEST_SUITE_P(Configurations, ComputeButtonMasksTest, ::testing::ValuesIn(maskCases),
                         [](const ::testing::TestParamInfo<MaskCase>& info) {
                             const MaskCase& c = info.param;
                             return "Mode" + SpelledOut(std::to_string(c.mode)) + "Button" +
                                    SpelledOut(std::to_string(c.button)) + "Inverted" +
                                    SpelledOut(std::to_string(c.inverted));
                         });

} // namespace
