// The checks a completed run's results must pass before the run counts as
// a success: a failure is never reported as one.
#include "hostsim/sim/output/result.h"
#include "hostsim/sim/base/numbers.h"

#include <algorithm>
#include <cmath>

namespace dvx::sim {

namespace {

// The energy account closes to this share of the energy that moved, for
// ida per unit of rtol (its balance is rtol to a few hundred times rtol
// here), for euler and bdf2 outright (their error follows the step, which
// no tolerance bounds).
constexpr double kEnergyPerRtol = 1e3;
constexpr double kEnergyFixedStep = 1e-3;
constexpr double kEnergyFloor = 1e-9;
// A gear's equation holds to this many times the solver's tolerance on its
// speed.
constexpr double kResidualPerTolerance = 100.0;

} // namespace

std::vector<std::string> CheckResult(const RunResult& r) {
    std::vector<std::string> findings;
    const Settings& s = r.settings;
    if (r.nonFinite.seen)
        findings.push_back(r.nonFinite.what + " is " + FormatNumber(r.nonFinite.value) + " at t = " +
                           FormatNumber(r.nonFinite.at, 9) + " s");
    const EnergyReport& e = r.energy;
    const struct {
        const char* name;
        double value;
    } energies[] = {{"the energy supplied", e.supplied},       {"the energy dissipated", e.dissipated},
                    {"the energy stored at the start", e.storedStart}, {"the energy stored at the end", e.storedEnd},
                    {"the energy lost at events", e.atEvents}};
    bool finite = true;
    for (const auto& energy : energies)
        if (!std::isfinite(energy.value)) {
            findings.push_back(std::string(energy.name) + " is " + FormatNumber(energy.value) + " J");
            finite = false;
        }
    if (finite && e.kept) {
        double moved = 0.0;
        for (const auto& energy : energies) moved = std::max(moved, std::abs(energy.value));
        const double share =
            s.method == Method::Ida ? kEnergyPerRtol * s.rtol + kEnergyFloor : kEnergyFixedStep;
        if (std::abs(e.Balance()) > share * moved + 1e-12)
            findings.push_back("the energy account does not close: its balance is " + FormatNumber(e.Balance(), 6) +
                               " J of " + FormatNumber(moved, 6) + " J (more than " + FormatNumber(share, 3) +
                               " of it; tighten the tolerances" +
                               std::string(s.method == Method::Ida ? "" : " or shorten the step") + ")");
    }
    for (const InstanceReport& rep : r.reports) {
        const double bound = kResidualPerTolerance * (s.rtol * rep.speedScale + s.atol);
        if (!(rep.maxResidual <= bound))
            findings.push_back("instance '" + rep.name + "': its equation -OMEGA1/K + OMEGA2 = 0 is off by " +
                               FormatNumber(rep.maxResidual, 6) + " rad/s at t = " + FormatNumber(rep.maxResidualAt, 9) +
                               " s (more than " + FormatNumber(bound, 3) + ")");
    }
    return findings;
}

} // namespace dvx::sim
