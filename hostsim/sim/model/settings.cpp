// Run settings: their checks and the names of the methods.
#include "hostsim/sim/model/model.h"

#include <cmath>

namespace dvx::sim {

void CheckSettings(const Settings& s, const std::string& origin) {
    auto fail = [&](const std::string& what) { throw SimError(origin + what); };
    if (!std::isfinite(s.start) || !std::isfinite(s.stop)) fail("the start and stop times must be finite");
    if (!(s.step > 0.0) || !std::isfinite(s.step)) fail("the step must be a positive number");
    if (!(s.outputInterval > 0.0) || !std::isfinite(s.outputInterval))
        fail("the output interval must be a positive number");
    if (!(s.stop > s.start)) fail("the stop time must lie after the start time");
    if ((s.stop - s.start) / s.outputInterval > 1e7) fail("more than ten million output samples");
    if (s.method != Method::Ida && (s.stop - s.start) / s.step > 1e9) fail("more than a thousand million steps");
    if (!(s.rtol > 0.0) || !(s.rtol < 1.0)) fail("the relative tolerance must lie between 0 and 1");
    if (!(s.atol > 0.0) || !std::isfinite(s.atol)) fail("the absolute tolerance must be a positive number");
    if (!(s.maxStep >= 0.0) || !std::isfinite(s.maxStep)) fail("the largest step must be 0 (no limit) or positive");
    if (s.maxSteps < 1) fail("the most steps (max_steps) must be at least 1");
}

const char* MethodName(Method method) {
    switch (method) {
    case Method::Ida: return "ida";
    case Method::Euler: return "euler";
    case Method::Bdf2: return "bdf2";
    }
    return "?";
}

bool ParseMethod(const std::string& text, Method* method) {
    if (text == "ida") *method = Method::Ida;
    else if (text == "euler") *method = Method::Euler;
    else if (text == "bdf2") *method = Method::Bdf2;
    else return false;
    return true;
}

} // namespace dvx::sim
