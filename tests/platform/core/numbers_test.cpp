#include "platform/numbers.h"

#include <gtest/gtest.h>

namespace keyvane {
namespace {

TEST(ValTest, ReadsLeadingNumberIgnoringBlanks) {
    EXPECT_DOUBLE_EQ(Val("8080"), 8080);
    EXPECT_DOUBLE_EQ(Val("  1 2 3abc"), 123);
    EXPECT_DOUBLE_EQ(Val("-3"), -3);
    EXPECT_DOUBLE_EQ(Val("2.5"), 2.5);
    EXPECT_DOUBLE_EQ(Val(" 8.25"), 8.25);
    EXPECT_DOUBLE_EQ(Val("1e3"), 1000);
    EXPECT_DOUBLE_EQ(Val("1e"), 1);
    EXPECT_DOUBLE_EQ(Val(".5"), 0.5);
    EXPECT_DOUBLE_EQ(Val("abc"), 0);
    EXPECT_DOUBLE_EQ(Val(""), 0);
    EXPECT_DOUBLE_EQ(Val("-"), 0);
    EXPECT_DOUBLE_EQ(Val("\t7\n"), 7);
    EXPECT_DOUBLE_EQ(Val("-2147483643"), -2147483643.0);
}

TEST(RoundingTest, HalvesGoToEvenAndRangesAreChecked) {
    EXPECT_EQ(ToInt16(2.5), 2);
    EXPECT_EQ(ToInt16(3.5), 4);
    EXPECT_EQ(ToInt16(-2.5), -2);
    EXPECT_EQ(ToInt16(0.49), 0);
    EXPECT_EQ(ToInt16(32767), 32767);
    EXPECT_EQ(ToInt16(-32768), -32768);
    EXPECT_THROW(ToInt16(32767.5), OverflowError);  // rounds to 32768
    EXPECT_THROW(ToInt16(-32769), OverflowError);
    EXPECT_THROW(ToInt16(Val("1e999")), OverflowError);
    EXPECT_EQ(ToInt32(-2147483648.0), INT32_MIN);
    EXPECT_THROW(ToInt32(2147483648.0), OverflowError);
}

TEST(NumberFormsTest, PrintedAndTextForms) {
    EXPECT_EQ(PrintNumber(20), " 20 ");
    EXPECT_EQ(PrintNumber(0), " 0 ");
    EXPECT_EQ(PrintNumber(-5), "-5 ");
    EXPECT_EQ(StrNumber(8.25), " 8.25");
    EXPECT_EQ(StrNumber(12), " 12");
    EXPECT_EQ(StrNumber(-2147483643.0), "-2147483643");
    EXPECT_EQ(StrNumber(static_cast<float>(9.75)), " 9.75");
    EXPECT_EQ(StrNumber(static_cast<float>(0.1)), " 0.1");
}

}  // namespace
}  // namespace keyvane
