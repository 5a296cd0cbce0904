// Checks of parameter values. See checks.h for the contracts.
#include "parse/checks.h"

#include <math.h>

#include "numeric/limited.h"

bool IsWholeNumber(double value) {
    // NaN, infinities and values whose truncation leaves the 32-bit range are
    // not whole numbers of the parameter's integer type.
    int32_t t = 0;
    if (!TruncateToInt32(value, &t)) return false;
    return value - static_cast<double>(t) == 0.0;
}

namespace {

// Parity of value truncated toward zero: 0 even, 1 odd, -1 for NaN and the
// infinities, which have none. Within the 32-bit range it is the remainder of
// the 32-bit integer; beyond it, fmod of the truncated double, which is exact
// (every double from 2^53 on is even).
int32_t TruncatedParity(double value) {
    int32_t t = 0;
    if (TruncateToInt32(value, &t)) return t % 2 == 0 ? 0 : 1;
    if (!isfinite(value)) return -1;
    return fmod(trunc(value), 2.0) == 0.0 ? 0 : 1;
}

}  // namespace

bool CheckParity(double value, int32_t mode) {
    const int32_t parity = TruncatedParity(value);
    return mode >= 2 ? parity == 0 : parity == 1;
}

namespace {

int32_t CheckRealValue(double value, double lower, double upper, double reference) {
    const double m = Limit(value, lower, upper);
    if (m != reference) return m == value ? 1 : 0;
    // The confined value is the reference: is there room beside it? The
    // additive step is lost in rounding once |m| reaches 1; the relative
    // factors take over there. The factor is chosen by the sign of m so that
    // up lies above m and dn below it. At m = -1 the two steps are not lost
    // alike (-1 + 1e-16 is representable, -1 - 1e-16 is not), and a factor
    // chosen without regard to the sign would put both neighbours above -1 and
    // miss room below it. Wherever both steps are lost, the two neighbours are
    // the same pair either way, so only m = -1 is affected.
    constexpr double kAbove = 1.000000000000001;
    constexpr double kBelow = 0.999999999999999;
    double up = m + 1e-16;
    if (!(up > m)) up = m < 0.0 ? m * kBelow : m * kAbove;
    if (Limit(up, lower, upper) == up) return 0;
    double dn = m - 1e-16;
    if (!(dn < m)) dn = m < 0.0 ? m * kAbove : m * kBelow;
    if (Limit(dn, lower, upper) == dn) return 0;
    return -1;
}

// Whole-number kinds other than the multiples of 10.
//
// The admissible values are the whole numbers of the 32-bit range that lie in
// [lower, upper], and for the even kinds (11..19) only the even ones, for the
// odd kinds (21..29, 31..39) only the odd ones.
//  1. lo = ceil(lower) and hi = floor(upper), held to the 32-bit range (a NaN
//     bound does not act, as with Limit). Then lo moves up and hi down by one
//     when its parity is the wrong one for the kind: lo and hi are the
//     smallest and largest admissible values.
//  2. width = hi - lo. A negative width admits no value: -1.
//  3. A reference of 0 stands for "no reference": a width of 0 or less leaves
//     nothing to choose: -1.
//  4. m = Limit(value, lo, hi). If m differs from the reference: 1 when m
//     equals the value and is admissible (whole, of the kind's parity), else 0.
//  5. m equals the reference: 0 when another admissible value lies beside it
//     (width > 0), else -1.
// The results keep the meaning they have for real kinds, with the next
// admissible whole number in place of the 1e-16 step.
int32_t CheckWholeValue(double value, double lower, double upper, double reference,
                        int32_t kind) {
    constexpr double kMin = -2147483648.0;
    constexpr double kMax = 2147483647.0;
    const bool evenKind = (kind - 1) / 10 == 1;
    const bool oddKind = (kind - 1) / 20 == 1;

    double lo = ceil(lower);
    if (!(lo > kMin)) lo = kMin;
    double hi = floor(upper);
    if (!(hi < kMax)) hi = kMax;
    if (hi - lo < 0.0) return -1;
    // From here kMin <= lo <= hi <= kMax, so every value below is exact.
    const int32_t mode = evenKind ? 2 : 1;
    if (evenKind || oddKind) {
        if (!CheckParity(lo, mode)) lo = lo + 1.0;
        if (!CheckParity(hi, mode)) hi = hi - 1.0;
    }
    const double width = hi - lo;
    if (width < 0.0) return -1;
    if (reference == 0.0 && width <= 0.0) return -1;

    const double m = Limit(value, lo, hi);
    if (m != reference) {
        const bool admissible =
            IsWholeNumber(m) && (!(evenKind || oddKind) || CheckParity(m, mode));
        return m == value && admissible ? 1 : 0;
    }
    return width > 0.0 ? 0 : -1;
}

}  // namespace

int32_t CheckParameterValue(double value, double lower, double upper, double reference,
                            int32_t kind) {
    if (kind <= 0) return CheckRealValue(value, lower, upper, reference);
    if (kind % 10 == 0) return 1;
    return CheckWholeValue(value, lower, upper, reference, kind);
}
