// The summary table printed on stdout after a run.
#include "hostsim/sim/base/error.h"
#include "hostsim/sim/base/numbers.h"
#include "hostsim/sim/output/result.h"

#include <algorithm>
#include <iomanip>

namespace dvx::sim {

namespace {

void PrintEnergy(const EnergyReport& e, std::ostream& out) {
    if (!e.kept) {
        out << "energy   not kept (simulation.energy is false)\n";
        return;
    }
    out << "energy   supplied " << FormatNumber(e.supplied, 9) << " J, dissipated " << FormatNumber(e.dissipated, 9)
        << " J, lost at events " << FormatNumber(e.atEvents, 3) << " J, stored " << FormatNumber(e.storedStart, 9)
        << " J at the start and " << FormatNumber(e.storedEnd, 9) << " J at the end; balance "
        << FormatNumber(e.Balance(), 3) << " J\n";
    for (const EnergyAccount& a : e.elements)
        out << "         " << (a.kind == EnergyKind::Supplied ? "supplied   " : "dissipated ") << std::setw(14)
            << FormatNumber(a.value, 9) << " J  " << a.label << "\n";
}

} // namespace

void PrintSummary(const RunResult& r, std::ostream& out) {
    const Settings& s = r.settings;
    const SolverStats& st = r.stats;
    out << "model    " << r.model.string() << "\n"
        << "library  " << r.library.string() << " (" << r.backend << ")\n"
        << "method   " << MethodName(s.method);
    if (s.method == Method::Ida) {
        out << ", rtol " << FormatNumber(s.rtol) << ", atol " << FormatNumber(s.atol);
        if (s.maxStep > 0.0) out << ", largest step " << FormatNumber(s.maxStep) << " s";
    } else {
        out << ", step " << FormatNumber(r.plan.step) << " s";
    }
    out << ", " << FormatNumber(s.start) << " to "
        << FormatNumber(r.plan.stop) << " s, " << r.plan.Samples() << " samples every "
        << FormatNumber(s.outputInterval) << " s" << (r.plan.stopOffGrid ? " and at the stop time" : "") << "\n"
        << "solver   " << st.steps << " steps, " << st.residuals << " residuals, " << st.jacobians << " Jacobians, "
        << st.factorizations << " factorizations, " << st.newtonIterations << " Newton iterations, "
        << st.errorTestFailures << " error-test failures, " << st.newtonFailures << " Newton failures, "
        << st.timeEvents << " time events, " << st.stateEvents << " state events, " << st.modeChanges
        << " mode changes, " << st.stepCalls << " component step calls, " << FormatNumber(st.seconds, 3)
        << " s\n";
    const EnergyReport& e = r.energy;
    PrintEnergy(e, out);
    // Events other than a plain start, the first few of them.
    constexpr size_t kShownEvents = 12;
    size_t shown = 0, events = 0;
    for (const EventRecord& ev : st.events) {
        if (ev.kind == "start" && ev.modes.empty()) continue;
        if (shown++ < kShownEvents)
            out << (events++ == 0 ? "events   " : "         ") << "t = " << FormatNumber(ev.t, 9) << " s  " << ev.Text()
                << "\n";
    }
    if (shown > kShownEvents) out << "         (" << shown - kShownEvents << " more)\n";
    out << "\n";

    auto index = [&](const char* name) {
        for (size_t j = 0; j < r.outputNames.size(); ++j)
            if (r.outputNames[j] == name) return static_cast<long>(j);
        return -1L;
    };
    size_t nameWidth = 8;
    for (const InstanceReport& rep : r.reports) nameWidth = std::max(nameWidth, rep.name.size());
    const char* heads[] = {"K", "OMEGA1 [rad/s]", "OMEGA2 [rad/s]", "M1 [Nm]", "M2 [Nm]",
                           "energy in [J]", "energy out [J]", "in - out [J]", "max residual"};
    const char* outputs[] = {"K", "OMEGA1", "OMEGA2", "M1", "M2"};
    out << std::left << std::setw(static_cast<int>(nameWidth)) << "instance" << std::right;
    for (const char* h : heads) out << "  " << std::setw(14) << h;
    out << "\n";
    for (const InstanceReport& rep : r.reports) {
        out << std::left << std::setw(static_cast<int>(nameWidth)) << rep.name << std::right;
        for (const char* name : outputs) {
            const long j = index(name);
            const bool have = j >= 0 && static_cast<size_t>(j) < rep.finals.size();
            out << "  " << std::setw(14) << (have ? FormatNumber(rep.finals[static_cast<size_t>(j)], 7) : "-");
        }
        const auto energy = [&](double value, int digits) { return e.kept ? FormatNumber(value, digits) : "-"; };
        out << "  " << std::setw(14) << energy(rep.energyIn, 9) << "  " << std::setw(14) << energy(rep.energyOut, 9)
            << "  " << std::setw(14) << energy(rep.energyIn - rep.energyOut, 3) << "  " << std::setw(14)
            << FormatNumber(rep.maxResidual, 3) << "\n";
    }
    PrintReference(r, out);
}

void PrintReference(const RunResult& r, std::ostream& out) {
    if (!r.reference) return;
    const ReferenceComparison& ref = *r.reference;
    out << "\nreference " << ref.Table().file.string() << ": ";
    if (ref.Deviations().empty()) {
        out << "no column in common with the run\n";
        return;
    }
    out << ref.Deviations().size() << " common column" << (ref.Deviations().size() == 1 ? "" : "s")
        << ", compared at " << ref.Compared() << " of " << ref.Samples() << " samples\n";
    size_t width = 6;
    for (const ReferenceDeviation& d : ref.Deviations()) width = std::max(width, d.column.size());
    out << std::left << std::setw(static_cast<int>(width)) << "column" << std::right << "  " << std::setw(18)
        << "largest deviation" << "  " << std::setw(14) << "at t [s]" << "  " << std::setw(18)
        << "relative to range" << "\n";
    for (const ReferenceDeviation& d : ref.Deviations())
        out << std::left << std::setw(static_cast<int>(width)) << d.column << std::right << "  " << std::setw(18)
            << FormatNumber(d.largest, 6) << "  " << std::setw(14) << FormatNumber(d.at, 9) << "  " << std::setw(18)
            << FormatNumber(d.Relative(), 6) << "\n";
}

} // namespace dvx::sim
