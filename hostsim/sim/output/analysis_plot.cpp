// The plots of the analysis commands, drawn by gnuplot like a run's.
#include "hostsim/sim/output/analysis_output.h"

#include "hostsim/sim/base/error.h"
#include "hostsim/sim/base/numbers.h"
#include "hostsim/sim/output/plot.h"

#include <cmath>
#include <numbers>

namespace dvx::sim {

namespace {

constexpr size_t kPlottedModes = 8;
// More inertia nodes than this are numbered on the axis, not named.
constexpr size_t kNamedNodes = 30;

std::string Title(const std::filesystem::path& model, double t) {
    const std::string name =
        model.filename().string() == "model.json" ? model.parent_path().filename().string() : model.filename().string();
    return name + " at t = " + FormatNumber(t) + " s";
}

} // namespace

void PlotModes(const ModesResult& r, OutputFile& file) {
    const ModeSet& s = r.set;
    std::vector<size_t> shown;
    for (size_t k = 0; k < s.modes.size() && shown.size() < kPlottedModes; ++k)
        if (!s.modes[k].rigid) shown.push_back(k);
    // Per inertia node: its place, then per mode the signed amplitude, then
    // per mode the energy share [%].
    std::vector<std::vector<double>> rows;
    for (size_t n = 0; n < s.inertias.size(); ++n) {
        std::vector<double> row{static_cast<double>(n)};
        for (size_t k : shown) {
            const Mode& m = s.modes[k];
            const double signed_ = m.amplitude[n] * std::cos(m.phaseDeg[n] * std::numbers::pi / 180.0);
            row.push_back(std::isnan(signed_) ? 0.0 : signed_);
        }
        for (size_t k : shown) {
            const double share = s.modes[k].energyShare[n];
            row.push_back(std::isnan(share) ? 0.0 : 100.0 * share);
        }
        rows.push_back(std::move(row));
    }
    RunGnuplot(file, 900, {rows}, [&](std::ostream& g, const std::vector<std::string>& data) {
        g << "set key outside right\nset grid\nset lmargin 10\nset rmargin 28\n";
        if (s.inertias.size() <= kNamedNodes) {
            g << "set xtics rotate by -30 (";
            for (size_t n = 0; n < s.inertias.size(); ++n)
                g << (n ? ", " : "") << GnuplotQuoted(s.inertias[n].node) << " " << n;
            g << ")\n";
        } else {
            g << "set xlabel 'inertia node, in model order'\n";
        }
        g << "set xrange [-0.5:" << static_cast<double>(s.inertias.size()) - 0.5 << "]\n"
          << "set multiplot layout 2,1 title " << GnuplotQuoted("mode shapes, " + Title(r.model, s.t)) << "\n";
        for (int panel = 0; panel < 2; ++panel) {
            g << "set ylabel " << (panel == 0 ? "'speed amplitude (signed)'" : "'kinetic energy [%]'") << "\n";
            if (shown.empty()) {
                g << "plot 0 title 'no oscillating mode'\n";
                continue;
            }
            g << "plot ";
            for (size_t i = 0; i < shown.size(); ++i) {
                const Mode& m = s.modes[shown[i]];
                const size_t column = 2 + i + (panel == 0 ? 0 : shown.size());
                g << (i ? ", \\\n     " : "") << data[0] << " using 1:" << column
                  << " with linespoints linewidth 1.5 title "
                  << GnuplotQuoted("mode " + std::to_string(shown[i] + 1) + ": " + FormatNumber(m.naturalHz, 4) +
                                   " Hz, zeta " + FormatNumber(m.dampingRatio, 3));
            }
            g << "\n";
        }
        g << "unset multiplot\n";
    });
}

void PlotResponse(const ResponseResult& r, OutputFile& file) {
    const FrequencyResponse& f = r.response;
    std::vector<std::vector<double>> rows;
    for (size_t k = 0; k < f.hz.size(); ++k)
        if (std::isfinite(f.magnitudeDb[k])) rows.push_back({f.hz[k], f.magnitudeDb[k], f.phaseDeg[k]});
    RunGnuplot(file, 800, {rows}, [&](std::ostream& g, const std::vector<std::string>& data) {
        g << "set grid\nset lmargin 12\nset rmargin 6\nset logscale x\nset format x '%g'\n"
          << "set xrange [" << FormatNumber(f.hz.front()) << ":" << FormatNumber(f.hz.back()) << "]\n"
          << "set multiplot layout 2,1 title "
          << GnuplotQuoted(f.output + " per " + f.input + " [" + f.inputUnit + "], " + Title(r.model, r.t)) << "\n"
          << "set ylabel 'magnitude [dB]'\n"
          << "plot " << data[0] << " using 1:2 with lines linewidth 1.5 notitle\n"
          << "set ylabel 'phase [deg]'\nset xlabel 'frequency [Hz]'\n"
          << "plot " << data[0] << " using 1:3 with lines linewidth 1.5 notitle\n"
          << "unset multiplot\n";
    });
}

} // namespace dvx::sim
