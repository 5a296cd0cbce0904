// Limited arithmetic helpers: small pure functions of doubles for model
// equations. None of them allocates, reads global state or reports anything;
// comparisons are IEEE comparisons (a NaN operand fails <, > and ==).
#pragma once

#include <stdint.h>

// The bound that plays the part of "unbounded": limited results stay within
// [-kValueBound, kValueBound].
constexpr double kValueBound = 1e16;

// lower if x < lower, otherwise upper if x > upper, otherwise x. The lower
// test comes first, so crossed bounds map every value to one of them; a NaN x
// comes back unchanged.
inline double Limit(double x, double lower, double upper) {
    if (x < lower) return lower;
    if (x > upper) return upper;
    return x;
}

// Limit(x, -1e16, 1e16).
inline double LimitToBound(double x) { return Limit(x, -kValueBound, kValueBound); }

// Truncates x toward zero into *out when the result is a 32-bit signed
// integer. A NaN, an infinity or a value whose truncation lies outside the
// 32-bit range returns false and leaves *out untouched: the conversion itself
// would be undefined there.
inline bool TruncateToInt32(double x, int32_t* out) {
    if (!(x > -2147483649.0 && x < 2147483648.0)) return false;
    *out = static_cast<int32_t>(x);
    return true;
}

// Truncation toward zero that saturates at the 32-bit range and maps NaN to 0.
inline int32_t TruncateSaturated(double x) {
    int32_t t = 0;
    if (TruncateToInt32(x, &t)) return t;
    if (x > 0) return INT32_MAX;
    if (x < 0) return INT32_MIN;
    return 0;
}

int32_t DeadBandSign(double x, double tolerance);
double ReplaceIfEqual(double x, double match, double replacement);
double WrapToPeriod(double x, double period, bool centred);
bool RelativeChangeExceeded(double x1, double ref1, double x2, double ref2, double x3, double ref3);
double SafePow(double base, double exponent);
double LinearLaw(double x, double slope, double x0, double k0);
