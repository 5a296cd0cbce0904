// Transfer laws: characteristic curves y(x) of one input, each limited to
// +-1e16, and the limited inverse hyperbolic sine. Pure functions; the order
// of operations in each is part of its contract, because it decides the last
// bits of the result.
#pragma once

double LimitedAsinh(double x);
double PowerLaw(double x, double offset, double linear, double coefficient, double exponent,
                double x0, double k0, bool symmetric);
double SinhLaw(double x, double slope, double scale, double x0, double k0);
double AsinhLaw(double x, double slope, double scale, double x0, double k0);
double GaussLaw(double x, double farValue, double centreValue, double exponent, double spread,
                double xUpper, double xLower);
