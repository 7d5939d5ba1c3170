// The shared reader of the five programs' arguments and numbers (platform/program_options.h).
#include "platform/program_options.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>

namespace vantor::platform {
namespace {

constexpr ProgramOption kTable[] = {{"--port", "PORT"}, {"--json"}};

// Reads every argument; the first usage message, or "" when all were read.
std::string ReadAll(ArgumentReader reader, std::vector<Argument>& read) {
    while (!reader.Done()) {
        Result<Argument> argument = ReadArgument(reader, kTable);
        if (!argument) {
            return argument.reason();
        }
        read.push_back(*argument);
    }
    return "";
}

TEST(ArgumentTable, ValueAttachedOrNextEvenWhenItLooksLikeAnOption) {
    std::vector<Argument> read;
    EXPECT_EQ(ReadAll(ArgumentReader({"--port=sim", "--port", "-x"}), read), "");
    ASSERT_EQ(read.size(), 2u);
    EXPECT_EQ(read[0].value, "sim");
    EXPECT_EQ(read[1].value, "-x");
}

TEST(ArgumentTable, UsageMessagesNameTheOption) {
    std::vector<Argument> read;
    EXPECT_EQ(ReadAll(ArgumentReader({"--port"}), read), "--port needs a value");
    EXPECT_EQ(ReadAll(ArgumentReader({"--json=1"}), read), "--json takes no value");
}

TEST(ArgumentTable, UnknownOptionIsLeftToTheProgramAndDoubleDashEndsOptions) {
    std::vector<Argument> read;
    EXPECT_EQ(ReadAll(ArgumentReader({"--bogus", "--", "--json"}), read), "");
    ASSERT_EQ(read.size(), 2u);
    EXPECT_TRUE(read[0].is_option);
    EXPECT_EQ(read[0].option, nullptr);
    EXPECT_FALSE(read[1].is_option);
    EXPECT_EQ(read[1].text, "--json");
}

// The small programs never took "--name=value" nor "--": both stay arguments of their own.
TEST(ArgumentTable, SeparateValuesStyleKeepsEqualsAndDoubleDash) {
    std::vector<Argument> read;
    EXPECT_EQ(ReadAll(ArgumentReader({"--port=1", "--"}, ArgumentStyle::kSeparateValues), read),
              "");
    ASSERT_EQ(read.size(), 2u);
    EXPECT_EQ(read[0].option, nullptr);
    EXPECT_EQ(read[0].text, "--port=1");
    EXPECT_EQ(read[1].text, "--");
    EXPECT_TRUE(read[1].is_option);
}

TEST(ArgumentTable, WholeNumbersAreDigitsWithinTheirRange) {
    EXPECT_EQ(ParseWhole("31", 0, 31), 31);
    EXPECT_EQ(ParseWhole("32", 0, 31), std::nullopt);
    EXPECT_EQ(ParseWhole("-0", 0, 31), std::nullopt);
    EXPECT_EQ(ParseWhole("+1", 0, 31), std::nullopt);
    EXPECT_EQ(ParseWhole(" 1", 0, 31), std::nullopt);
    EXPECT_EQ(ParseWhole("", 0, 31), std::nullopt);
    EXPECT_EQ(ParseWhole("0x1", 0, 31), std::nullopt);
    EXPECT_EQ(ParseWhole("999999999999999999999", 0, LONG_MAX), std::nullopt);
}

TEST(ArgumentTable, NumbersAsCWritesThem) {
    EXPECT_EQ(ParseNumber("0x10000", 0, 0x7FFFFFFF), 0x10000);
    EXPECT_EQ(ParseNumber("0X1f", 0, 31), 31);
    EXPECT_EQ(ParseNumber("010", 0, 31), 8);
    EXPECT_EQ(ParseNumber("0", 0, 31), 0);
    EXPECT_EQ(ParseNumber("09", 0, 31), std::nullopt);
    EXPECT_EQ(ParseNumber("0x", 0, 31), std::nullopt);
    EXPECT_EQ(ParseNumber("0x-1", 0, 31), std::nullopt);
    EXPECT_EQ(ParseNumber("0x20", 0, 31), std::nullopt);
}

// The simulated drive's options take a seed of all 64 bits, and a leading zero is no octal.
TEST(ArgumentTable, DecimalOrHexTakesAll64BitsAndNoOctal) {
    constexpr std::uint64_t kMost = UINT64_MAX;
    EXPECT_EQ(ParseDecimalOrHex("18446744073709551615", kMost), kMost);
    EXPECT_EQ(ParseDecimalOrHex("0xFFFFFFFFFFFFFFFF", kMost), kMost);
    EXPECT_EQ(ParseDecimalOrHex("18446744073709551616", kMost), std::nullopt);
    EXPECT_EQ(ParseDecimalOrHex("010", kMost), 10u);
    EXPECT_EQ(ParseDecimalOrHex("0x2083", 0xFFFF), 0x2083u);
    EXPECT_EQ(ParseDecimalOrHex("0x10000", 0xFFFF), std::nullopt);
    EXPECT_EQ(ParseDecimalOrHex("0x0x5", kMost), std::nullopt);
    EXPECT_EQ(ParseDecimalOrHex("-1", kMost), std::nullopt);
}

}  // namespace
}  // namespace vantor::platform
