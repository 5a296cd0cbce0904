// Limited arithmetic helpers. See limited.h for the contracts; every test
// below is a strict IEEE comparison, made in the order written, which decides
// the ties and what a NaN does.
#include "numeric/limited.h"

#include <math.h>

int32_t DeadBandSign(double x, double tolerance) {
    // The tolerance keeps its sign: a negative one leaves no band at all.
    if (x > tolerance) return 1;
    if (x < -tolerance) return -1;
    return 0;
}

double ReplaceIfEqual(double x, double match, double replacement) {
    return x == match ? replacement : x;
}

namespace {

// x - n * period with n = x / period truncated toward zero. When that quotient
// is not a 32-bit integer (a huge x, an infinite x) the same reduction is done
// exactly by fmod, which keeps the sign of x and so lands in the same
// half-open interval; an infinite x gives NaN, as fmod does.
double RemoveWholePeriods(double x, double period) {
    int32_t n = 0;
    if (!TruncateToInt32(x / period, &n)) return fmod(x, period);
    return x - static_cast<double>(n) * period;
}

}  // namespace

double WrapToPeriod(double x, double period, bool centred) {
    // Only a positive, finite period describes a periodic quantity. Anything
    // else (zero, negative, infinite, NaN) leaves x as it is instead of
    // dividing by zero or folding around a negative half period.
    if (!(period > 0.0) || isinf(period)) return x;
    if (x > period) x = RemoveWholePeriods(x, period);
    if (x < -period) x = RemoveWholePeriods(x, period);
    if (centred && x > period * 0.5) x = x - period;
    if (centred && x < period * -0.5) x = x + period;
    return x;
}

bool RelativeChangeExceeded(double x1, double ref1, double x2, double ref2, double x3, double ref3) {
    constexpr double kThreshold = 1.2;
    // A zero reference is never divided by; its value counts only when every
    // reference is zero.
    if (ref1 != 0.0 && fabs((x1 - ref1) / ref1) > kThreshold) return true;
    if (ref2 != 0.0 && fabs((x2 - ref2) / ref2) > kThreshold) return true;
    if (ref3 != 0.0 && fabs((x3 - ref3) / ref3) > kThreshold) return true;
    if (ref1 != 0.0 || ref2 != 0.0 || ref3 != 0.0) return false;
    return x1 != 0.0 || x2 != 0.0 || x3 != 0.0;
}

double SafePow(double base, double exponent) {
    // Zero to any non-zero power is 0, a negative power included: the guard
    // that keeps an infinity out of the transfer laws.
    if (base == 0.0) return exponent == 0.0 ? 1.0 : 0.0;
    if (exponent > 0.0) return pow(base, exponent);
    if (exponent < 0.0) return 1.0 / pow(base, fabs(exponent));
    return 1.0;
}

double LinearLaw(double x, double slope, double x0, double k0) {
    // In this order: the difference times the slope, then the breakpoint term.
    const double y = (x - x0) * slope + x0 * k0;
    return LimitToBound(y);
}
