// The summary table printed on stdout after a run.
#include "hostsim/sim/run.h"

#include <algorithm>
#include <iomanip>

namespace dvx::sim {

void PrintSummary(const RunOptions& options, const RunResult& r, std::ostream& out) {
    const Settings& s = r.settings;
    out << "model    " << options.model.string() << "\n"
        << "library  " << options.library.string() << "\n"
        << "method   " << MethodName(s.method) << ", step " << FormatNumber(r.plan.step) << " s, "
        << FormatNumber(s.start) << " to "
        << FormatNumber(s.start + static_cast<double>(r.plan.intervals) * s.outputInterval) << " s: "
        << r.stats.steps << " steps, " << r.stats.factorizations << " factorizations, "
        << r.plan.intervals + 1 << " samples every " << FormatNumber(s.outputInterval) << " s\n\n";

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
        out << "  " << std::setw(14) << FormatNumber(rep.energyIn, 9) << "  " << std::setw(14)
            << FormatNumber(rep.energyOut, 9) << "  " << std::setw(14)
            << FormatNumber(rep.energyIn - rep.energyOut, 3) << "  " << std::setw(14)
            << FormatNumber(rep.maxResidual, 3) << "\n";
    }
}

} // namespace dvx::sim
