// Transfer laws. Each expression is written in the order of operations that
// defines the law's result to the last bit: which product or quotient is
// formed first, and where the limits act. Do not regroup them.
#include "numeric/laws.h"

#include <math.h>

#include "numeric/limited.h"

namespace {

// 1 above zero, -1 below, 0 for both zeros and for NaN. It multiplies the
// quantity it signs, so a NaN quantity stays NaN.
int32_t SignFactor(double v) {
    if (v > 0.0) return 1;
    if (v < 0.0) return -1;
    return 0;
}

}  // namespace

double LimitedAsinh(double x) {
    // asinh from the magnitude, signed afterwards: odd, and 0 at 0. Holding t
    // within [1e-16, 1e16] bounds the result by ln(1e16) for every input,
    // including those whose square overflows.
    double t = sqrt(x * x + 1.0) + fabs(x);
    if (t < 1e-16) {
        t = 1e-16;
    } else if (t > 1e16) {
        t = 1e16;
    }
    return SignFactor(x) * log(t);
}

double PowerLaw(double x, double offset, double linear, double coefficient, double exponent,
                double x0, double k0, bool symmetric) {
    const double r = fabs(x) - fabs(x0);
    const double p = LimitToBound(SafePow(fabs(r), exponent));
    // The linear term takes r with its sign, the power term its magnitude.
    double v = offset + linear * r + coefficient * p;
    if (symmetric) v = v * SignFactor(x);
    const double y = v + x0 * k0;
    return LimitToBound(y);
}

double SinhLaw(double x, double slope, double scale, double x0, double k0) {
    double u = (x - x0) * scale;
    // sinh(100) is still finite; the limit on h then takes over.
    if (u < -100.0) {
        u = -100.0;
    } else if (u > 100.0) {
        u = 100.0;
    }
    const double h = LimitToBound(sinh(u));
    const double y = h * (slope / scale) + x0 * k0;
    return LimitToBound(y);
}

double AsinhLaw(double x, double slope, double scale, double x0, double k0) {
    const double u = (x - x0) * scale;
    const double a = LimitedAsinh(u);
    const double y = a * (slope / scale) + x0 * k0;
    return LimitToBound(y);
}

double GaussLaw(double x, double farValue, double centreValue, double exponent, double spread,
                double xUpper, double xLower) {
    const double w = xUpper - xLower;
    // The scale is raised to the power first and the distance second, each by
    // its own pow; combining them into one pow would change the last bits.
    const double q = pow(1.0 / (sqrt(spread) * w * 0.5), exponent);
    const double m = xUpper - w * 0.5;
    double e = exp(-(pow(x - m, exponent) * q));
    e = LimitToBound(e);
    // The result itself is not limited.
    return farValue - e * (farValue - centreValue);
}
