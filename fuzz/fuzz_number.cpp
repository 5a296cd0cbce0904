// libFuzzer target of the engineering-number parser: arbitrary bytes become
// one NUL-terminated text in a heap buffer of exactly its size, so that any
// read past the terminator is an AddressSanitizer report. The properties
// below hold for every text; a violation aborts with the text and the record.
#include "parse/number.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

[[noreturn]] void Fail(const char* what, const char* text, const ParseResult& r) {
    std::fprintf(stderr,
                 "parser property violated: %s\n  text: \"%s\"\n  hasText %d isNumber %d answers %d%d%d%d "
                 "intValue %d floatValue %.9g value %.17g\n",
                 what, text, r.hasText, r.isNumber, r.answerQ, r.answerQuestion, r.answerYes, r.answerNo,
                 r.intValue, static_cast<double>(r.floatValue), r.value);
    std::abort();
}

bool IsFlag(int32_t v) { return v == 0 || v == 1; }

// A decimal mark among the characters that the main scan examines.
bool MarkInScannedPart(const char* text) {
    for (size_t i = 0; i < 127 && text[i] != '\0'; ++i)
        if (text[i] == '.' || text[i] == ',') return true;
    return false;
}

// Texts of at most 15 digits and one '.', nothing else: their value must be
// the decimal number itself, up to the rounding of the digit-wise sum.
bool IsPlainDecimal(const char* text) {
    size_t length = 0, digits = 0, marks = 0;
    for (; text[length] != '\0'; ++length) {
        if (text[length] >= '0' && text[length] <= '9')
            ++digits;
        else if (text[length] == '.')
            ++marks;
        else
            return false;
    }
    return digits > 0 && digits <= 15 && marks <= 1;
}

void CheckRecord(const char* text, const ParseResult& r) {
    if (!IsFlag(r.hasText) || !IsFlag(r.isNumber) || !IsFlag(r.answerQ) || !IsFlag(r.answerQuestion) ||
        !IsFlag(r.answerYes) || !IsFlag(r.answerNo))
        Fail("a flag is neither 0 nor 1", text, r);
    if (r.answerQ + r.answerQuestion + r.answerYes + r.answerNo > 1) Fail("two answer flags at once", text, r);

    if (r.isNumber == 0) {
        if (r.intValue != 0 || r.floatValue != 0.0f || r.value != 0.0 || std::signbit(r.value) ||
            std::signbit(r.floatValue))
            Fail("a rejected text left a value behind", text, r);
        return;
    }

    if (r.hasText != 1) Fail("a number without text", text, r);
    if (r.answerQ + r.answerQuestion + r.answerYes + r.answerNo != 0) Fail("a number that is an answer", text, r);
    // p lies in [-308, 308] and the mantissa in [0.1, 1]: the magnitude is
    // zero or between 1e-309 and 1e308.
    const double magnitude = std::fabs(r.value);
    if (!std::isfinite(r.value) || magnitude > 1e308) Fail("value beyond what p allows", text, r);
    if (magnitude != 0.0 && magnitude < 0.99e-309) Fail("value below what p allows", text, r);
    if (!std::isfinite(r.floatValue)) Fail("floatValue not finite", text, r);
    if (r.floatValue != 0.0f && r.floatValue != static_cast<float>(r.value))
        Fail("floatValue is not value in single precision", text, r);

    if (r.intValue != 0) {
        if (MarkInScannedPart(text)) Fail("intValue with a decimal mark", text, r);
        if (r.intValue < -32768 || r.intValue > 32767) Fail("intValue outside 16 bits", text, r);
        if (static_cast<float>(r.intValue) != std::trunc(r.floatValue))
            Fail("intValue is not floatValue truncated", text, r);
    }

    if (IsPlainDecimal(text)) {
        const double expected = std::strtod(text, nullptr);
        if (std::fabs(r.value - expected) > 1e-13 * std::fabs(expected))
            Fail("a plain decimal text parsed to another number", text, r);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    char* text = static_cast<char*>(std::malloc(size + 1));
    if (text == nullptr) return 0;
    if (size != 0) std::memcpy(text, data, size);
    text[size] = '\0';

    ParseNumber(text);
    const ParseResult first = gParseResult;
    CheckRecord(text, first);

    // Every field of the record comes from the text alone: whatever the
    // previous call left, the same text gives the same record.
    std::memset(&gParseResult, 0xA5, sizeof gParseResult);
    if (IsNumberText(text) != first.isNumber) Fail("IsNumberText disagrees with isNumber", text, gParseResult);
    if (std::memcmp(&first, &gParseResult, sizeof first) != 0) Fail("same text, different record", text, gParseResult);

    // A null text clears the number fields and keeps the answer flags.
    ParseNumber(nullptr);
    const ParseResult& r = gParseResult;
    if (r.hasText != 0 || r.isNumber != 0 || r.intValue != 0 || r.floatValue != 0.0f || r.value != 0.0 ||
        r.answerQ != first.answerQ || r.answerQuestion != first.answerQuestion || r.answerYes != first.answerYes ||
        r.answerNo != first.answerNo)
        Fail("a null text changed the answer flags or left a value", text, r);

    std::free(text);
    return 0;
}
