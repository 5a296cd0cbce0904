// Engineering-number parser: accepted forms with their exact bits, rejected
// forms, answer letters, the limits of the scan and of the exponent.
#include <gtest/gtest.h>
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <bit>
#include <string>
#include <vector>

#include "parse/number.h"

namespace {

struct NumberRow {
    const char* text;
    double value;
    float floatValue;
    int32_t intValue;
};

void ExpectNumber(const NumberRow& row) {
    ParseNumber(row.text);
    const ParseResult& r = gParseResult;
    EXPECT_EQ(r.isNumber, 1) << "'" << row.text << "'";
    EXPECT_EQ(std::bit_cast<uint64_t>(r.value), std::bit_cast<uint64_t>(row.value))
        << "'" << row.text << "': got " << testing::PrintToString(r.value) << " ("
        << std::hexfloat << r.value << "), want " << row.value;
    EXPECT_EQ(std::bit_cast<uint32_t>(r.floatValue), std::bit_cast<uint32_t>(row.floatValue))
        << "'" << row.text << "': got " << std::hexfloat << r.floatValue;
    EXPECT_EQ(r.intValue, row.intValue) << "'" << row.text << "'";
}

void ExpectRejected(const char* text) {
    ParseNumber(text);
    EXPECT_EQ(gParseResult.isNumber, 0) << "'" << text << "'";
    EXPECT_EQ(std::bit_cast<uint64_t>(gParseResult.value), 0u) << "'" << text << "'";
    EXPECT_EQ(std::bit_cast<uint32_t>(gParseResult.floatValue), 0u) << "'" << text << "'";
    EXPECT_EQ(gParseResult.intValue, 0) << "'" << text << "'";
}

TEST(ParseNumber, ValuesAreTheDigitWiseSumToTheLastBit) {
    const NumberRow rows[] = {
        {"2.5k", 2500.0, 2500.0f, 0},
        {"1E-3", 0.001, 0.001f, 0},
        {"12", 12.000000000000002, 12.0f, 12},  // (0.1 + 0.02) * 100
        {"-7", -7.0, -7.0f, -7},
        {"1,5", 1.5000000000000002, 1.5f, 0},
        {"0.05", 0.05, 0.05f, 0},
        {".05", 0.05, 0.05f, 0},
        {"3.3K", 3299.9999999999995, 3300.0f, 0},
        {"4.7u", 4.700000000000001e-06, static_cast<float>(4.700000000000001e-06), 0},
        {"3M", 0.003, 0.003f, 0},
        {"3m", 0.003, 0.003f, 0},
        {"5m", 0.005, 0.005f, 0},
        {"5 k", 5000.0, 5000.0f, 5000},
        {"5k ", 5000.0, 5000.0f, 5000},
        {"1 000", 1000.0, 1000.0f, 1000},
        {"12-", -12.000000000000002, -12.0f, -12},
        {"1-2", -12.000000000000002, -12.0f, -12},
        {"5E 3", 5000.0, 5000.0f, 5000},
        {"5 E3", 5000.0, 5000.0f, 5000},
        {"1E+2", 100.0, 100.0f, 100},
        {"2n", 2e-9, 2e-9f, 0},
        {"7p", 6.999999999999999e-12, static_cast<float>(6.999999999999999e-12), 0},
    };
    for (const NumberRow& row : rows) ExpectNumber(row);
}

TEST(ParseNumber, SignAndMarkWithoutDigitsAreZero) {
    const NumberRow rows[] = {
        {"-", -0.0, -0.0f, 0}, {".", 0.0, 0.0f, 0},  {",", 0.0, 0.0f, 0},
        {"+", 0.0, 0.0f, 0},   {"0E5", 0.0, 0.0f, 0}, {"0k", 0.0, 0.0f, 0},
    };
    for (const NumberRow& row : rows) ExpectNumber(row);
}

TEST(ParseNumber, IntValueComesFromTheSingleValueWithinSixteenBits) {
    const NumberRow rows[] = {
        {"32767", 32767.0, 32767.0f, 32767},
        {"32768", 32768.0, 32768.0f, 0},
        {"-32768", -32768.0, -32768.0f, -32768},
        {"-32769", -32769.0, -32769.0f, 0},
        {"327674E-1", 32767.4, 32767.4f, 0},
    };
    for (const NumberRow& row : rows) ExpectNumber(row);
}

TEST(ParseNumber, DecimalExponentBoundsDecideAcceptanceAndSingleValue) {
    const NumberRow rows[] = {
        {"1e38", 1e38, 0.0f, 0},    // p = 39: no single value
        {"1E37", 1.0000000000000001e+37, static_cast<float>(1.0000000000000001e+37), 0},  // p = 38
        {"1E-38", 1.0000000000000001e-38, static_cast<float>(1.0000000000000001e-38), 0},  // p = -37
        {"1E-39", 1.0000000000000001e-39, 0.0f, 0},  // p = -38
        {"1e-309", 1e-309, 0.0f, 0},
        {"1E5-3", 1e-53, 0.0f, 0},
        {"1E307", 1.0000000000000001e+307, 0.0f, 0},  // 1e308 * 0.1
        {"1E0000000000000000005", 1e5, 1e5f, 0},      // leading zeros add nothing
        // 10^23 lies halfway between two doubles and rounds to even; a power
        // rounded the other way would give 1.0000000000000002e+22.
        {"1E22", 1e22, static_cast<float>(1e22), 0},
    };
    for (const NumberRow& row : rows) ExpectNumber(row);
    for (const char* text : {"1e-310", "1E308", "0E400", "0E-310", "0E2147483647"}) {
        ExpectRejected(text);
    }
}

TEST(ParseNumber, ExponentsBeyondThirtyTwoBitsAreRejectedNotWrapped) {
    // 4294967301 would wrap to 5 in 32 bits, 2^32 + 10 to 10.
    for (const char* text : {"1E2147483648", "1E4294967301", "1E4294967306", "1E-4294967297",
                             "1E-2147483648", "1E99999999999999999999", "1E10000000000"}) {
        ExpectRejected(text);
    }
}

TEST(ParseNumber, MalformedTextsAreRejected) {
    for (const char* text :
         {"abc", "5k5", "5kE3", "5E3k", "1.2.3", "1,2.3", "--5", "+-5", "5E", "5E ", "5e+",
          "5E3+", "k", "E5", "5x", "5E1.5", "5EE3", "5E+-3", "\t5", "5\t", "5\xb2", "\xff"}) {
        ExpectRejected(text);
    }
}

struct AnswerRow {
    const char* text;
    int32_t hasText, q, question, yes, no;
};

TEST(ParseNumber, AnswerFlagSurvivesOnlyForOneLetterAndBlanks) {
    const AnswerRow rows[] = {
        {"y", 1, 0, 0, 1, 0},  {"j", 1, 0, 0, 1, 0},   {"J", 1, 0, 0, 1, 0},
        {"Y  ", 1, 0, 0, 1, 0}, {"n", 1, 0, 0, 0, 1},  {"N", 1, 0, 0, 0, 1},
        {"q", 1, 1, 0, 0, 0},  {"Q", 1, 1, 0, 0, 0},   {"?", 1, 0, 1, 0, 0},
        {"yes", 1, 0, 0, 0, 0}, {"y5", 1, 0, 0, 0, 0}, {"? x", 1, 0, 0, 0, 0},
        {" y", 1, 0, 0, 0, 0}, {"abc", 1, 0, 0, 0, 0}, {"", 0, 0, 0, 0, 0},
        {"   ", 0, 0, 0, 0, 0},
    };
    for (const AnswerRow& row : rows) {
        ExpectRejected(row.text);
        const ParseResult& r = gParseResult;
        EXPECT_EQ(r.hasText, row.hasText) << "'" << row.text << "'";
        EXPECT_EQ(r.answerQ, row.q) << "'" << row.text << "'";
        EXPECT_EQ(r.answerQuestion, row.question) << "'" << row.text << "'";
        EXPECT_EQ(r.answerYes, row.yes) << "'" << row.text << "'";
        EXPECT_EQ(r.answerNo, row.no) << "'" << row.text << "'";
    }
}

TEST(ParseNumber, NullTextClearsValuesAndKeepsAnswerFlags) {
    ParseNumber("y");
    ParseNumber("42");
    ParseNumber("n");
    ParseNumber(nullptr);
    EXPECT_EQ(gParseResult.answerNo, 1);
    EXPECT_EQ(gParseResult.hasText, 0);
    EXPECT_EQ(IsNumberText("42"), 1);
    EXPECT_EQ(IsNumberText(nullptr), 0);
    EXPECT_EQ(gParseResult.value, 0.0);
    EXPECT_EQ(gParseResult.intValue, 0);
}

// Each text sits in a heap block of exactly its own size, so that the
// sanitizer build reports any read past the NUL.
void ParseExact(const std::string& text) {
    std::vector<char> block(text.begin(), text.end());
    block.push_back('\0');
    ParseNumber(block.data());
}

TEST(ParseNumber, MainScanStopsAfter127Characters) {
    ParseExact("1" + std::string(130, ' ') + "5");
    EXPECT_EQ(gParseResult.isNumber, 1);
    EXPECT_EQ(gParseResult.value, 1.0);
    ParseExact(std::string(127, ' ') + "x");
    EXPECT_EQ(gParseResult.isNumber, 0);
    EXPECT_EQ(gParseResult.hasText, 0);
    ParseExact(std::string(127, '0') + "7junk");  // '7' is the 128th character
    EXPECT_EQ(gParseResult.isNumber, 1);
    EXPECT_EQ(gParseResult.value, 0.0);
}

TEST(ParseNumber, SuffixInsideTheScanStillChecksTheWholeText) {
    ParseExact("1k" + std::string(200, ' '));
    EXPECT_EQ(gParseResult.value, 1000.0);
    ParseExact("1k" + std::string(200, ' ') + "x");
    EXPECT_EQ(gParseResult.isNumber, 0);
    ParseExact("1E" + std::string(200, ' ') + "3 ");
    EXPECT_EQ(gParseResult.value, 1000.0);
    ParseExact("1E" + std::string(200, ' ') + "3x");
    EXPECT_EQ(gParseResult.isNumber, 0);
    ParseExact("y" + std::string(200, ' ') + "x");
    EXPECT_EQ(gParseResult.answerYes, 0);
    ParseExact("E");
    ParseExact("1E");
    ParseExact("1k");
    EXPECT_EQ(gParseResult.value, 1000.0);
}

TEST(PowerOfTen, IsCorrectlyRoundedForEveryExponent) {
#if defined(__GLIBC__)
    // glibc's strtod rounds correctly. Its pow does not always: pow(10, 23)
    // and pow(10, 210) are one unit in the last place off, so pow is no
    // reference here.
    for (int32_t n = -308; n <= 308; ++n) {
        char text[16];
        snprintf(text, sizeof text, "1e%d", static_cast<int>(n));
        const double want = strtod(text, nullptr);
        EXPECT_EQ(std::bit_cast<uint64_t>(PowerOfTen(n)), std::bit_cast<uint64_t>(want))
            << "10^" << n << ": got " << std::hexfloat << PowerOfTen(n) << ", want " << want;
    }
#else
    GTEST_SKIP() << "needs glibc's correctly rounded strtod";
#endif
}

}  // namespace
