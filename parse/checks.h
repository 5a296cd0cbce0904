// Checks of parameter values: whole numbers, parity, and a value against its
// bounds and a reference. Pure functions without state or messages.
#pragma once

#include <stdint.h>

// 1 when value is a whole number within the 32-bit signed range, else 0.
bool IsWholeNumber(double value);

// mode >= 2: true when the value truncated toward zero is even;
// mode <= 1: true when it is odd.
bool CheckParity(double value, int32_t mode);

// 1: inside its bounds and different from the reference; 0: outside its
// bounds, or at the reference with room beside it; -1: at the reference with
// no room beside it. kind <= 0 is a real parameter, kind >= 1 a whole-number
// kind.
int32_t CheckParameterValue(double value, double lower, double upper, double reference,
                            int32_t kind);
