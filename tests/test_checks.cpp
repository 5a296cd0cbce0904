// Parameter value checks: whole numbers, parity, and values against bounds
// and a reference for real and whole-number kinds.
#include <gtest/gtest.h>
#include <stdint.h>

#include <limits>

#include "parse/checks.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(IsWholeNumber, OnlyWholeValuesOfThe32BitRange) {
    struct Row {
        double value;
        bool want;
    };
    const Row rows[] = {
        {3.0, true},           {-7.0, true},          {-0.0, true},          {2.5, false},
        {-0.5, false},         {1e10, false},         {-2147483648.0, true}, {2147483647.0, true},
        {2147483648.0, false}, {-2147483649.0, false}, {kNaN, false},        {kInf, false},
    };
    for (const Row& r : rows) EXPECT_EQ(IsWholeNumber(r.value), r.want) << r.value;
}

TEST(CheckParity, TruncatesTowardZeroAndIsDefinedBeyond32Bits) {
    struct Row {
        double value;
        int32_t mode;
        bool want;
    };
    const Row rows[] = {
        {4.0, 2, true},  {4.0, 1, false}, {-3.0, 0, true}, {2.9, 2, true},  {-3.5, -5, true},
        {-3.5, 2, false}, {-0.9, 2, true}, {-2147483648.0, 2, true}, {2147483647.0, 1, true},
        // Beyond the 32-bit range the truncated value's own parity counts.
        {2147483649.5, 1, true}, {-2147483649.0, 2, false}, {4294967296.0, 2, true},
        {9007199254740993.0, 2, true},  // rounds to 2^53 + 0: even
        {1e300, 2, true},        {kNaN, 2, false}, {kNaN, 1, false}, {kInf, 2, false},
        {-kInf, 1, false},
    };
    for (const Row& r : rows) EXPECT_EQ(CheckParity(r.value, r.mode), r.want) << r.value << " " << r.mode;
}

struct CheckRow {
    double value, lower, upper, reference;
    int32_t kind, want;
};

void ExpectChecks(const CheckRow* rows, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        const CheckRow& r = rows[i];
        EXPECT_EQ(CheckParameterValue(r.value, r.lower, r.upper, r.reference, r.kind), r.want)
            << "row " << i << ": value " << r.value << " in [" << r.lower << ", " << r.upper
            << "], reference " << r.reference << ", kind " << r.kind;
    }
}

TEST(CheckParameterValue, RealKindsLookForRoomBesideTheReference) {
    const CheckRow rows[] = {
        {5, 0, 10, 1, 0, 1},     {15, 0, 10, 3, 0, 0},    {5, 0, 10, 5, 0, 0},
        {15, 0, 10, 10, 0, 0},   {5, 5, 5, 5, 0, -1},     {0, 0, 0, 0, 0, -1},
        {0, 0, 1e-16, 0, 0, 0},  {0, 0, 1e-17, 0, 0, -1}, {1, 1, 1.000000000000001, 1, -3, 0},
        {3, 5, 1, 5, 0, -1},     {3, 5, 1, 1, 0, 0},      {-0.5, -0.5, -0.5, -0.5, 0, -1},
        {1, 1, 1.0000000000000002, 1, 0, -1},  // closer than the relative step
        {kNaN, 0, 10, 1, 0, 0},
    };
    ExpectChecks(rows, sizeof rows / sizeof rows[0]);
}

// At -1 the additive step succeeds upward but is lost downward; the room below
// -1 must still be found, as it is above 1 for the mirrored case.
TEST(CheckParameterValue, RoomBelowMinusOneIsFound) {
    const CheckRow rows[] = {
        {-1, -10, -1, -1, 0, 0},  {1, 1, 10, 1, 0, 0},   {3, -10, -1, -1, 0, 0},
        {-1, -1, -1, -1, 0, -1},  {-2, -2, 5, -2, 0, 0}, {-2, -3, -2, -2, 0, 0},
    };
    ExpectChecks(rows, sizeof rows / sizeof rows[0]);
}

TEST(CheckParameterValue, MultiplesOfTenAreAlwaysAccepted) {
    const CheckRow rows[] = {
        {5, 5, 5, 5, 10, 1},   {kNaN, 0, 1, 0, 20, 1}, {3, 5, 1, 5, 30, 1},
        {2.5, 0, 1, 0, 40, 1}, {7, 0, 1, 7, 1000, 1},
    };
    ExpectChecks(rows, sizeof rows / sizeof rows[0]);
}

TEST(CheckParameterValue, PlainWholeKindsAdmitWholeNumbersWithinBounds) {
    const CheckRow rows[] = {
        {5, 0, 10, 1, 1, 1},       {2.5, 0, 10, 1, 1, 0},     {15, 0, 10, 1, 9, 0},
        {5, 0, 10, 5, 1, 0},       {7, 5, 5, 5, 1, -1},       {5, 4.5, 5.5, 5, 41, -1},
        {3, 0.2, 3.7, 1, 1, 1},    {4, 0.2, 3.7, 1, 1, 0},    {5, 5.2, 5.9, 1, 1, -1},
        {5, 10, 0, 1, 1, -1},      {3e9, 0, 1e16, 1, 1, 0},   {-5, kNaN, 10, 1, 1, 1},
        {3e9, 3e9, 4e9, 1, 1, -1}, {1, kInf, 10, 1, 41, -1},
    };
    ExpectChecks(rows, sizeof rows / sizeof rows[0]);
}

TEST(CheckParameterValue, ReferenceZeroWithAtMostOneAdmissibleValueGivesMinusOne) {
    const CheckRow rows[] = {
        {3, 3, 3, 0, 1, -1},     {0, 0, 0, 0, 1, -1},   {0, 0, 1, 0, 1, 0},
        {1, 0, 1, 0, 1, 1},      {4, 3, 5, 0, 12, -1},  {4, 3, 5, 7, 12, 1},
        {3, 2.5, 3.5, -0.0, 1, -1},
    };
    ExpectChecks(rows, sizeof rows / sizeof rows[0]);
}

TEST(CheckParameterValue, EvenKindsAdmitOnlyEvenValues) {
    const CheckRow rows[] = {
        {4, 0, 10, 1, 12, 1},   {3, 0, 10, 1, 12, 0},  {-4, -9, 9, 1, 19, 1},
        {3, 3, 3, 3, 11, -1},   {4, 3, 4, 4, 11, -1},  {4, 3, 6, 4, 11, 0},
        {5, 3, 5, 1, 11, 0},    {12, 3, 5, 1, 11, 0},  {2147483647, -1e16, 1e16, 1, 11, 0},
    };
    ExpectChecks(rows, sizeof rows / sizeof rows[0]);
}

TEST(CheckParameterValue, OddKindsAdmitOnlyOddValues) {
    const CheckRow rows[] = {
        {3, 0, 10, 1, 21, 1},   {4, 0, 10, 1, 29, 0},   {-3, -5, 5, 1, 35, 1},
        {4, 4, 4, 4, 31, -1},   {3, 2, 4, 3, 39, -1},   {1, 2, 4, 3, 39, -1},
        {3, 2, 5, 3, 21, 0},    {2147483647, 2147483647, 1e16, 0, 21, -1},
        {2147483647, 2147483646, 1e16, 1, 21, 1},
    };
    ExpectChecks(rows, sizeof rows / sizeof rows[0]);
}

}  // namespace
