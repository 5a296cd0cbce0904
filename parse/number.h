// The engineering-number parser: '2.5k', '1E-3', '-32768', '4.7u'.
//
// ParseNumber reads one NUL-terminated 8-bit text and fills the module-wide
// record gParseResult. It never allocates, never writes to the text and never
// reads past its terminating NUL. Not re-entrant: read the record before the
// next call.
//
// A null text clears the record's number fields and leaves the four answer
// flags as they were. A rejected text leaves isNumber, intValue, floatValue
// and value at 0. The main scan reads at most 127 characters; only a unit
// letter or an 'E' exponent inside them, or a one-letter answer at the start,
// makes the parser read on, up to the NUL and no further.
#pragma once

#include <stdint.h>

typedef struct ParseResult {
    int32_t hasText;        // a character other than a blank was met
    int32_t isNumber;       // the text was accepted as a number
    int32_t answerQ;        // the text is 'q' or 'Q'
    int32_t answerQuestion; // the text is '?'
    int32_t answerYes;      // the text is 'y', 'Y', 'j' or 'J'
    int32_t answerNo;       // the text is 'n' or 'N'
    int32_t intValue;       // whole value, from the single-precision value
    float floatValue;       // value in single precision, when -37 <= p <= 38
    double value;           // the number
} ParseResult;

extern ParseResult gParseResult;

void ParseNumber(const char* text);

// Runs ParseNumber and returns 1 when the text was a number, else 0.
int32_t IsNumberText(const char* text);

// 10^exponent correctly rounded to double, for exponent in [-308, 308] (the
// caller keeps it there). The parser takes every power of ten from here, so
// that its results do not depend on the runtime's pow.
double PowerOfTen(int32_t exponent);
