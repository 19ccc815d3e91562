#include "inttext.h"

#include <gtest/gtest.h>

#include <string>

TEST(ParseIntText, AcceptsDecimalAndHexadecimalForms)
{
    const struct {
        const char *text;
        int32_t value;
    } cases[] = {
        {"0", 0},
        {"12", 12},
        {"   12", 12},
        {"+5", 5},
        {"-1", -1},
        {"007", 7},
        {"-2147483648", INT32_MIN},
        {"2147483647", INT32_MAX},
        {"$1F", 31},
        {"x1f", 31},
        {"X10", 16},
        {"0x0A", 10},
        {"  0X7FFFFFFF", INT32_MAX},
        {"00000000000000000000042", 42},
    };
    for (const auto &c : cases) {
        int32_t v = -777;
        EXPECT_TRUE(ParseIntText(c.text, v)) << c.text;
        EXPECT_EQ(v, c.value) << c.text;
    }
}

TEST(ParseIntText, RejectsMalformedOrOutOfRangeTextAndKeepsTheValue)
{
    const char *cases[] = {
        "",
        "   ",
        "12 ",
        "1a",
        "-",
        "+",
        "$",
        "0x",
        "x",
        "-$1",
        "+0x1",
        "- 1",
        "1.5",
        "\t5",
        "2147483648",
        "-2147483649",
        "0x80000000",
        "$FFFFFFFF",
        "0x1G",
        "１",
        "99999999999999999999999",
        "12\n",
    };
    for (const char *text : cases) {
        int32_t v = -777;
        EXPECT_FALSE(ParseIntText(text, v)) << '"' << text << '"';
        EXPECT_EQ(v, -777) << text;
    }
    int32_t v = -777;
    EXPECT_FALSE(ParseIntText(std::string("1\0"
                                          "2",
                                          3),
                              v));
}
