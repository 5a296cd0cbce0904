#include "hostsim/sim/analysis/order_response.h"

#include "hostsim/sim/base/numbers.h"

#include <Eigen/OrderingMethods>
#include <Eigen/SparseLU>

#include <charconv>
#include <cmath>
#include <numbers>

namespace dvx::sim {

namespace {

using Complex = std::complex<double>;

bool Number(const std::string& text, double* value) {
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, *value);
    return ec == std::errc() && ptr == end && !text.empty() && std::isfinite(*value);
}

} // namespace

OrderInput ParseOrderInput(const std::string& text, const std::string& option) {
    OrderInput in;
    const size_t first = text.find(':');
    in.source = text.substr(0, first);
    const auto bad = [&](const std::string& what) {
        throw SimError(option + " " + text + ": " + what + "; expected SOURCE[:AMPLITUDE[:PHASE_DEG]], for example "
                       "engine:25:180");
    };
    if (in.source.empty()) bad("no source");
    if (first == std::string::npos) return in;
    const size_t second = text.find(':', first + 1);
    const std::string amplitude = text.substr(first + 1, second == std::string::npos ? std::string::npos
                                                                                     : second - first - 1);
    if (!Number(amplitude, &in.amplitude)) bad("\"" + amplitude + "\" is no amplitude");
    if (second == std::string::npos) return in;
    const std::string phase = text.substr(second + 1);
    if (!Number(phase, &in.phaseDeg)) bad("\"" + phase + "\" is no phase in degrees");
    return in;
}

OrderResponse ComputeOrderResponse(OperatingPoints& points, const std::vector<OrderInput>& inputs,
                                   const std::vector<ResponseInput>& sources,
                                   const std::vector<ResponseOutput>& outputs, double order, const SpeedGrid& grid) {
    CheckSpeedGrid(grid);
    OrderResponse r;
    r.order = order;
    r.inputs = inputs;
    r.rpm = SpeedsOf(grid);
    r.t = points.Base().t;
    r.unitModes = points.Base().modes;
    for (const ResponseOutput& o : outputs) r.outputs.push_back(o.column);
    r.value.assign(outputs.size(), {});
    // The operating point changes A's values, never its pattern: one
    // analysis for every speed.
    Eigen::SparseLU<Eigen::SparseMatrix<Complex>, Eigen::COLAMDOrdering<int>> lu;
    bool analysed = false;
    for (const double rpm : r.rpm) {
        const LinearModel lin = points.At(rpm);
        const double hz = order * rpm / 60.0, omega = 2.0 * std::numbers::pi * hz;
        Eigen::SparseMatrix<Complex> m = lin.a.cast<Complex>();
        m.makeCompressed();
        for (Eigen::Index i = 0; i < m.nonZeros(); ++i)
            m.valuePtr()[i] = Complex(lin.a.valuePtr()[i], omega * lin.b.valuePtr()[i]);
        if (!analysed) lu.analyzePattern(m), analysed = true;
        lu.factorize(m);
        if (lu.info() != Eigen::Success)
            throw SimError("at " + ShortestText(rpm) + " rpm (" + ShortestText(hz) + " Hz) the linearised equations "
                           "are singular (an undamped mode at exactly this frequency, or a part of the model that "
                           "nothing holds)");
        Eigen::VectorXcd rhs = Eigen::VectorXcd::Zero(m.rows());
        std::vector<Complex> phasor(inputs.size());
        for (size_t s = 0; s < inputs.size(); ++s) {
            phasor[s] = std::polar(inputs[s].amplitude, inputs[s].phaseDeg * std::numbers::pi / 180.0);
            rhs[sources[s].row] += phasor[s];
        }
        const Eigen::VectorXcd x = lu.solve(rhs);
        for (size_t o = 0; o < outputs.size(); ++o) {
            Complex v = OutputAlong(outputs[o], lin.y, x);
            // A source's own value column follows its input directly.
            for (size_t s = 0; s < inputs.size(); ++s)
                if (outputs[o].column == sources[s].valueColumn) v += phasor[s];
            r.value[o].push_back(v);
        }
        r.hz.push_back(hz);
    }
    return r;
}

} // namespace dvx::sim
