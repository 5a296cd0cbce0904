#include "hostsim/sim/output/analysis_output.h"

#include "hostsim/sim/base/error.h"
#include "hostsim/sim/base/numbers.h"

#include <algorithm>
#include <cmath>
#include <iomanip>
#include <sstream>

namespace dvx::sim {

namespace {

// Mode shapes printed in full up to this many lines; the CSV has them all.
constexpr size_t kShapeLines = 400;

std::string Fixed(double value, int decimals) {
    if (std::isnan(value)) return "-";
    // No "-0.0" for a value that rounds to zero.
    if (std::abs(value) < 0.5 * std::pow(10.0, -decimals)) value = 0.0;
    std::ostringstream s;
    s << std::fixed << std::setprecision(decimals) << value;
    return s.str();
}

void PrintUnitModes(const std::vector<std::string>& modes, std::ostream& out) {
    if (modes.empty()) return;
    out << "modes    ";
    for (size_t k = 0; k < modes.size(); ++k) out << (k ? ", " : "") << modes[k];
    out << "\n";
}

} // namespace

void PrintModes(const ModesResult& r, std::ostream& out) {
    const ModeSet& s = r.set;
    out << "model    " << r.model.string() << "\n"
        << "library  " << r.library.string() << " (" << r.backend << ")\n"
        << "at       t = " << FormatNumber(s.t) << " s\n";
    PrintUnitModes(s.unitModes, out);
    out << "network  " << s.unknowns << " unknowns, " << s.differential << " differential, " << s.constraints
        << " constraints on them; " << s.modes.size() << " modes\n"
        << "solver   " << s.solver << "\n\n";
    out << std::right << std::setw(5) << "mode" << std::setw(16) << "natural [Hz]" << std::setw(16) << "damped [Hz]"
        << std::setw(16) << "damping ratio" << std::setw(28) << "eigenvalue [1/s]" << "\n";
    for (size_t k = 0; k < s.modes.size(); ++k) {
        const Mode& m = s.modes[k];
        out << std::setw(5) << k + 1;
        if (m.rigid) {
            out << std::setw(16) << "rigid body" << std::setw(16) << "-" << std::setw(16) << "-" << std::setw(28)
                << "0" << "\n";
            continue;
        }
        const std::string lambda = FormatNumber(m.lambda.real(), 6) +
                                   (m.lambda.imag() != 0.0 ? " + " + FormatNumber(m.lambda.imag(), 6) + "i" : "");
        out << std::setw(16) << FormatNumber(m.naturalHz, 8) << std::setw(16) << FormatNumber(m.dampedHz, 8)
            << std::setw(16) << FormatNumber(m.dampingRatio, 6) << std::setw(28) << lambda << "\n";
    }
    size_t width = 4;
    for (const InertiaNode& n : s.inertias) width = std::max(width, n.node.size());
    out << "\nmode shapes: each inertia node's speed amplitude relative to the largest, its phase against that "
           "one, and its share of the mode's kinetic energy\n";
    size_t lines = 0;
    for (size_t k = 0; k < s.modes.size(); ++k) {
        const Mode& m = s.modes[k];
        if (lines + s.inertias.size() > kShapeLines && lines > 0) {
            out << "(the shapes of modes " << k + 1 << " to " << s.modes.size() << " are in the CSV file)\n";
            break;
        }
        out << "\nmode " << k + 1 << ": "
            << (m.rigid ? std::string("rigid body") : FormatNumber(m.naturalHz, 6) + " Hz") << "\n"
            << "  " << std::left << std::setw(static_cast<int>(width) + 2) << "node" << std::right << std::setw(14)
            << "J [kg m2]" << std::setw(12) << "amplitude" << std::setw(14) << "phase [deg]" << std::setw(12)
            << "energy [%]" << "\n";
        for (size_t n = 0; n < s.inertias.size(); ++n, ++lines)
            out << "  " << std::left << std::setw(static_cast<int>(width) + 2) << s.inertias[n].node << std::right
                << std::setw(14) << FormatNumber(s.inertias[n].inertia, 6) << std::setw(12)
                << Fixed(m.amplitude[n], 4) << std::setw(14) << Fixed(m.phaseDeg[n], 1) << std::setw(12)
                << Fixed(100.0 * m.energyShare[n], 2) << "\n";
    }
}

void WriteModesCsv(const ModeSet& s, OutputFile& csv) {
    std::ofstream& o = csv.Stream();
    o << "mode,rigid,natural_hz,damped_hz,damping_ratio,eigenvalue_real,eigenvalue_imag";
    for (const InertiaNode& n : s.inertias)
        o << "," << n.node << ".amplitude," << n.node << ".phase_deg," << n.node << ".energy_share";
    o << "\n";
    for (size_t k = 0; k < s.modes.size(); ++k) {
        const Mode& m = s.modes[k];
        o << k + 1 << "," << (m.rigid ? 1 : 0) << "," << FormatNumber(m.naturalHz) << "," << FormatNumber(m.dampedHz)
          << "," << FormatNumber(m.dampingRatio) << "," << FormatNumber(m.lambda.real()) << ","
          << FormatNumber(m.lambda.imag());
        for (size_t n = 0; n < s.inertias.size(); ++n)
            o << "," << FormatNumber(m.amplitude[n]) << "," << FormatNumber(m.phaseDeg[n]) << ","
              << FormatNumber(m.energyShare[n]);
        o << "\n";
    }
}

void WriteModalEnergyCsv(const ModeSet& s, const ModalEnergy& energy, OutputFile& file) {
    std::ofstream& o = file.Stream();
    o << "mode,natural_hz,element,type,kinetic_share,strain_share,dissipation_share,J,c,d,sensitivity_J,"
         "sensitivity_c,sensitivity_d\n";
    for (size_t k = 0; k < s.modes.size(); ++k)
        for (const ElementModalEnergy& e : energy.elements) {
            o << k + 1 << "," << FormatNumber(s.modes[k].naturalHz) << "," << e.element << "," << e.type << ","
              << FormatNumber(e.kinetic[k]) << "," << FormatNumber(e.strain[k]) << "," << FormatNumber(e.dissipation[k]);
            for (double v : e.value) o << "," << FormatNumber(v);
            for (const std::vector<double>& x : e.sensitivity) o << "," << FormatNumber(x[k]);
            o << "\n";
        }
}

void PrintResponse(const ResponseResult& r, std::ostream& out) {
    const FrequencyResponse& f = r.response;
    out << "model    " << r.model.string() << "\n"
        << "library  " << r.library.string() << " (" << r.backend << ")\n"
        << "at       t = " << FormatNumber(r.t) << " s\n";
    PrintUnitModes(r.unitModes, out);
    out << "from     " << f.input << " [" << f.inputUnit << "] to " << f.output << ", " << f.hz.size()
        << " frequencies from " << FormatNumber(f.hz.front()) << " to " << FormatNumber(f.hz.back()) << " Hz\n";
    // The peak of the magnitude, where the response is largest.
    size_t peak = 0;
    for (size_t k = 0; k < f.hz.size(); ++k)
        if (std::abs(f.h[k]) > std::abs(f.h[peak])) peak = k;
    out << "peak     " << FormatNumber(f.magnitudeDb[peak], 6) << " dB at " << FormatNumber(f.hz[peak], 6)
        << " Hz (on the grid)\n\n";
    out << std::right << std::setw(16) << "frequency [Hz]" << std::setw(16) << "magnitude [dB]" << std::setw(14)
        << "phase [deg]" << "\n";
    // Every row on a short grid, about forty spread over a long one.
    const size_t stride = std::max<size_t>(1, f.hz.size() / 40);
    for (size_t k = 0; k < f.hz.size(); k += stride)
        out << std::setw(16) << FormatNumber(f.hz[k], 6) << std::setw(16) << Fixed(f.magnitudeDb[k], 3)
            << std::setw(14) << Fixed(f.phaseDeg[k], 2) << "\n";
}

void WriteResponseCsv(const FrequencyResponse& f, OutputFile& csv) {
    std::ofstream& o = csv.Stream();
    o << "frequency_hz,magnitude_db,phase_deg,real,imag\n";
    for (size_t k = 0; k < f.hz.size(); ++k)
        o << FormatNumber(f.hz[k]) << "," << FormatNumber(f.magnitudeDb[k]) << "," << FormatNumber(f.phaseDeg[k])
          << "," << FormatNumber(f.h[k].real()) << "," << FormatNumber(f.h[k].imag()) << "\n";
}

} // namespace dvx::sim
