// What campbell and order-response print, write and draw.
#include "hostsim/sim/output/analysis_output.h"

#include "hostsim/sim/base/error.h"
#include "hostsim/sim/base/numbers.h"
#include "hostsim/sim/output/plot.h"

#include <cmath>
#include <iomanip>
#include <numbers>

namespace dvx::sim {

namespace {

std::string Name(const std::filesystem::path& model) {
    return model.filename().string() == "model.json" ? model.parent_path().filename().string()
                                                     : model.filename().string();
}

void Header(const std::filesystem::path& model, const std::filesystem::path& library, const std::string& backend,
            double t, const std::vector<std::string>& unitModes, std::ostream& out) {
    out << "model    " << model.string() << "\n"
        << "library  " << library.string() << " (" << backend << ")\n"
        << "base     t = " << FormatNumber(t) << " s (the hybrid elements' modes, and the speeds the node does not "
           "fix)\n";
    if (!unitModes.empty()) {
        out << "modes    ";
        for (size_t k = 0; k < unitModes.size(); ++k) out << (k ? ", " : "") << unitModes[k];
        out << "\n";
    }
}

std::string OrderText(double o) { return FormatNumber(o, 6); }

} // namespace

void PrintCampbell(const CampbellResult& r, std::ostream& out) {
    const CampbellDiagram& d = r.diagram;
    Header(r.model, r.library, r.backend, d.t, d.unitModes, out);
    out << "node     " << d.node << ", " << d.rpm.size() << " speeds from " << FormatNumber(d.rpm.front()) << " to "
        << FormatNumber(d.rpm.back()) << " rpm; orders";
    for (double o : d.orders) out << " " << OrderText(o);
    out << "\nsolver   " << d.solver << "\n";
    if (d.operating)
        out << "range    " << FormatNumber(d.operating->lo) << " to " << FormatNumber(d.operating->hi) << " rpm\n";
    out << "\n" << std::right << std::setw(5) << "mode" << std::setw(16) << "at first [Hz]" << std::setw(16)
        << "at last [Hz]" << std::setw(14) << "lowest" << std::setw(14) << "highest" << "\n";
    for (const ModeTrace& t : d.traces) {
        double lo = NAN, hi = NAN;
        for (double hz : t.hz)
            if (std::isfinite(hz)) lo = std::isnan(lo) ? hz : std::min(lo, hz), hi = std::isnan(hi) ? hz : std::max(hi, hz);
        out << std::setw(5) << t.number << std::setw(16) << FormatNumber(t.hz.front(), 6) << std::setw(16)
            << FormatNumber(t.hz.back(), 6) << std::setw(14) << FormatNumber(lo, 6) << std::setw(14)
            << FormatNumber(hi, 6) << "\n";
    }
    out << "\ncrossings of the modes with the order lines: " << d.crossings.size() << "\n";
    if (d.crossings.empty()) return;
    out << std::setw(5) << "mode" << std::setw(8) << "order" << std::setw(14) << "rpm" << std::setw(16) << "frequency [Hz]"
        << std::setw(16) << "damping ratio" << (d.operating ? "      range   margin [%]" : "") << "\n";
    for (const Crossing& c : d.crossings) {
        out << std::setw(5) << c.mode << std::setw(8) << OrderText(c.order) << std::setw(14) << FormatNumber(c.rpm, 7)
            << std::setw(16) << FormatNumber(c.hz, 7) << std::setw(16) << FormatNumber(c.zeta, 5);
        if (d.operating)
            out << std::setw(11) << (c.inside ? "inside" : "outside") << std::setw(13) << FormatNumber(c.marginPct, 4);
        out << "\n";
    }
}

void WriteCampbellCsv(const CampbellDiagram& d, OutputFile& file) {
    std::ofstream& o = file.Stream();
    o << "rpm,mode,natural_hz,damping_ratio\n";
    for (size_t i = 0; i < d.rpm.size(); ++i)
        for (const ModeTrace& t : d.traces)
            if (std::isfinite(t.hz[i]))
                o << FormatNumber(d.rpm[i]) << "," << t.number << "," << FormatNumber(t.hz[i]) << ","
                  << FormatNumber(t.zeta[i]) << "\n";
}

void WriteCrossingsCsv(const CampbellDiagram& d, OutputFile& file) {
    std::ofstream& o = file.Stream();
    o << "mode,order,rpm,frequency_hz,damping_ratio" << (d.operating ? ",inside,margin_pct" : "") << "\n";
    for (const Crossing& c : d.crossings) {
        o << c.mode << "," << FormatNumber(c.order) << "," << FormatNumber(c.rpm) << "," << FormatNumber(c.hz) << ","
          << FormatNumber(c.zeta);
        if (d.operating) o << "," << (c.inside ? 1 : 0) << "," << FormatNumber(c.marginPct);
        o << "\n";
    }
}

void PlotCampbell(const CampbellResult& r, OutputFile& file) {
    const CampbellDiagram& d = r.diagram;
    std::vector<std::vector<std::vector<double>>> tables;
    double top = 0.0;
    for (const ModeTrace& t : d.traces) {
        std::vector<std::vector<double>> rows;
        for (size_t i = 0; i < d.rpm.size(); ++i)
            if (std::isfinite(t.hz[i])) rows.push_back({d.rpm[i], t.hz[i]}), top = std::max(top, t.hz[i]);
        if (rows.empty()) rows.push_back({d.rpm.front(), NAN});
        tables.push_back(std::move(rows));
    }
    std::vector<std::vector<double>> marks;
    for (const Crossing& c : d.crossings) marks.push_back({c.rpm, c.hz});
    if (marks.empty()) marks.push_back({d.rpm.front(), NAN});
    tables.push_back(marks);
    for (double o : d.orders) top = std::max(top, std::min(o * d.rpm.back() / 60.0, 1.2 * top));
    RunGnuplot(file, 700, tables, [&](std::ostream& g, const std::vector<std::string>& data) {
        g << "set grid\nset key outside right\nset rmargin 24\nset xlabel 'speed of " << d.node << " [rpm]'\n"
          << "set ylabel 'frequency [Hz]'\nset title " << GnuplotQuoted("Campbell diagram, " + Name(r.model)) << "\n"
          << "set xrange [" << FormatNumber(d.rpm.front()) << ":" << FormatNumber(d.rpm.back()) << "]\n"
          << "set yrange [0:" << FormatNumber(1.1 * (top > 0.0 ? top : 1.0)) << "]\n";
        if (d.operating)
            g << "set object 1 rectangle from " << FormatNumber(d.operating->lo) << ", graph 0 to "
              << FormatNumber(d.operating->hi) << ", graph 1 behind fillcolor rgb '#d8ecd8' fillstyle solid 0.6 "
              << "noborder\n";
        g << "plot ";
        for (size_t k = 0; k < d.traces.size(); ++k)
            g << (k ? ", \\\n     " : "") << data[k] << " using 1:2 with lines linewidth 2 title "
              << GnuplotQuoted("mode " + std::to_string(d.traces[k].number));
        // Each order's line in a colour of its own, dashed.
        const char* const colours[] = {"gray30", "dark-orange", "dark-blue", "dark-magenta", "dark-cyan", "brown"};
        for (size_t k = 0; k < d.orders.size(); ++k)
            g << ", \\\n     x*" << FormatNumber(d.orders[k] / 60.0) << " with lines dashtype 2 linewidth 1.5 "
              << "linecolor rgb '" << colours[k % 6] << "' title " << GnuplotQuoted("order " + OrderText(d.orders[k]));
        g << ", \\\n     " << data.back() << " using 1:2 with points pointtype 7 pointsize 1.2 linecolor rgb 'red' "
          << "title 'crossings'\n";
    });
}

void PrintOrderResponse(const OrderResponseResult& r, std::ostream& out) {
    const OrderResponse& f = r.response;
    Header(r.model, r.library, r.backend, f.t, f.unitModes, out);
    out << "node     " << f.node << ", " << f.rpm.size() << " speeds from " << FormatNumber(f.rpm.front()) << " to "
        << FormatNumber(f.rpm.back()) << " rpm; order " << OrderText(f.order) << "\ninputs  ";
    for (const OrderInput& in : f.inputs)
        out << " " << in.source << " (" << FormatNumber(in.amplitude) << ", " << FormatNumber(in.phaseDeg) << " deg)";
    out << "\n\n" << std::left << std::setw(30) << "output" << std::right << std::setw(16) << "peak amplitude"
        << std::setw(14) << "at [rpm]" << std::setw(14) << "[Hz]" << "\n";
    for (size_t o = 0; o < f.outputs.size(); ++o) {
        size_t peak = 0;
        for (size_t k = 0; k < f.rpm.size(); ++k)
            if (std::abs(f.value[o][k]) > std::abs(f.value[o][peak])) peak = k;
        out << std::left << std::setw(30) << f.outputs[o] << std::right << std::setw(16)
            << FormatNumber(std::abs(f.value[o][peak]), 6) << std::setw(14) << FormatNumber(f.rpm[peak], 6)
            << std::setw(14) << FormatNumber(f.hz[peak], 6) << "\n";
    }
    out << "(the peaks on the grid of speeds)\n";
}

void WriteOrderResponseCsv(const OrderResponse& f, OutputFile& file) {
    std::ofstream& o = file.Stream();
    o << "rpm,frequency_hz";
    for (const std::string& c : f.outputs) o << "," << c << ".amplitude," << c << ".phase_deg";
    o << "\n";
    for (size_t k = 0; k < f.rpm.size(); ++k) {
        o << FormatNumber(f.rpm[k]) << "," << FormatNumber(f.hz[k]);
        for (size_t c = 0; c < f.outputs.size(); ++c)
            o << "," << FormatNumber(std::abs(f.value[c][k])) << ","
              << FormatNumber(std::arg(f.value[c][k]) * 180.0 / std::numbers::pi);
        o << "\n";
    }
}

void PlotOrderResponse(const OrderResponseResult& r, OutputFile& file) {
    const OrderResponse& f = r.response;
    std::vector<std::vector<double>> rows;
    for (size_t k = 0; k < f.rpm.size(); ++k) {
        std::vector<double> row{f.rpm[k]};
        for (const auto& v : f.value) row.push_back(std::abs(v[k]));
        rows.push_back(std::move(row));
    }
    RunGnuplot(file, 600, {rows}, [&](std::ostream& g, const std::vector<std::string>& data) {
        g << "set grid\nset key outside right\nset rmargin 30\nset xlabel 'speed of " << f.node << " [rpm]'\n"
          << "set ylabel 'amplitude, in the unit of each output'\nset title "
          << GnuplotQuoted("order " + OrderText(f.order) + " response, " + Name(r.model)) << "\n"
          << "set xrange [" << FormatNumber(f.rpm.front()) << ":" << FormatNumber(f.rpm.back()) << "]\nplot ";
        for (size_t o = 0; o < f.outputs.size(); ++o)
            g << (o ? ", \\\n     " : "") << data[0] << " using 1:" << o + 2 << " with lines linewidth 2 title "
              << GnuplotQuoted(f.outputs[o]);
        g << "\n";
    });
}

} // namespace dvx::sim
