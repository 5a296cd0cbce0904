#include "hostsim/sim/analysis/response.h"
#include "hostsim/sim/base/numbers.h"

#include <Eigen/OrderingMethods>
#include <Eigen/SparseLU>

#include <algorithm>
#include <cmath>
#include <numbers>

namespace dvx::sim {

namespace {

using Complex = std::complex<double>;

// The columns a run could write, in the run's order: the instances' outputs,
// then the named elements'.
std::vector<std::string> ColumnNames(const Model& model, const Session& session) {
    std::vector<std::string> names;
    for (const Instance& inst : model.instances)
        for (const std::string& o : session.OutputNames()) names.push_back(inst.name + "." + o);
    for (const ElementRecord& e : model.elements) {
        if (e.name.empty()) continue;
        std::vector<std::string> outputs;
        e.unit->OutputNames(outputs);
        for (const std::string& o : outputs) names.push_back(e.name + "." + o);
    }
    return names;
}

// The output's derivative along a real direction v, by a central difference
// that is exact (to rounding) for outputs linear in the unknowns and for
// quadratic ones; the step moves the largest unknown by a thousandth of the
// state's size.
double Derivative(const ResponseOutput& output, const std::vector<double>& y0, const Eigen::VectorXd& v,
                  std::vector<double>& scratch) {
    const double size = v.cwiseAbs().maxCoeff();
    if (size == 0.0) return 0.0;
    double state = 1.0;
    for (double y : y0) state = std::max(state, std::abs(y));
    const double h = 1e-3 * state / size;
    for (size_t i = 0; i < y0.size(); ++i) scratch[i] = y0[i] + h * v[static_cast<Eigen::Index>(i)];
    const double up = output.value(scratch);
    for (size_t i = 0; i < y0.size(); ++i) scratch[i] = y0[i] - h * v[static_cast<Eigen::Index>(i)];
    const double down = output.value(scratch);
    return (up - down) / (2.0 * h);
}

} // namespace

std::complex<double> OutputAlong(const ResponseOutput& output, const std::vector<double>& y0,
                                 const Eigen::VectorXcd& x) {
    std::vector<double> scratch(y0.size());
    return {Derivative(output, y0, x.real(), scratch), Derivative(output, y0, x.imag(), scratch)};
}

ResponseInput FindSource(const Model& model, const Network& network, const std::string& name) {
    const ElementRecord* found = nullptr;
    for (const ElementRecord& e : model.elements)
        if (e.name == name || e.unit->Label() == name) found = &e;
    if (found == nullptr) {
        std::string sources;
        for (const ElementRecord& e : model.elements)
            if (e.type == "torque_source" || e.type == "speed_source")
                sources += (sources.empty() ? "" : ", ") + e.unit->Label();
        throw SimError("--input " + name + ": the model has no element of that name (its sources: " +
                       (sources.empty() ? std::string("none") : sources) + ")");
    }
    ResponseInput in;
    in.element = found->unit->Label();
    if (found->type == "speed_source") {
        // Its own row, w_node - w(t) = 0, holds the value.
        for (int i = 0; i < network.Size(); ++i)
            if (network.Label(i) == in.element + ".torque") in.row = i;
        in.unit = "rad/s";
        return in;
    }
    if (found->type != "torque_source")
        throw SimError("--input " + name + ": the element is " + WithArticle(found->type) +
                       ", not a source; the input must be a torque_source or a speed_source");
    // The source's value enters the row of its node, which its output
    // "omega" reads: asked at unknowns numbered 1, 2, ..., it names it.
    std::vector<double> numbers(static_cast<size_t>(network.Size()));
    for (size_t i = 0; i < numbers.size(); ++i) numbers[i] = static_cast<double>(i + 1);
    const std::vector<double> zeros(numbers.size(), 0.0);
    double out[2] = {0.0, 0.0};
    found->unit->Outputs({0.0, numbers.data(), zeros.data()}, out);
    in.row = static_cast<int>(out[1]) - 1;
    in.unit = "Nm";
    if (!found->name.empty()) in.valueColumn = found->name + ".torque";
    return in;
}

ResponseOutput FindOutput(const Model& model, Network& network, const Session& session, double t,
                          const std::string& column) {
    const std::vector<std::string>& instanceOutputs = session.OutputNames();
    ResponseOutput out;
    out.column = column;
    const size_t n = static_cast<size_t>(network.Size());
    for (size_t i = 0; i < model.instances.size(); ++i)
        for (size_t o = 0; o < instanceOutputs.size(); ++o)
            if (model.instances[i].name + "." + instanceOutputs[o] == column) {
                network.SetRecorded({i});
                out.value = [&network, t, o, n](const std::vector<double>& y) {
                    std::vector<double> values;
                    const std::vector<double> yp(n, 0.0);
                    network.Observe(t, y.data(), yp.data(), values);
                    return values[o];
                };
                return out;
            }
    for (const ElementRecord& e : model.elements) {
        if (e.name.empty()) continue;
        std::vector<std::string> outputs;
        e.unit->OutputNames(outputs);
        for (size_t o = 0; o < outputs.size(); ++o)
            if (e.name + "." + outputs[o] == column) {
                const ElementUnit* unit = e.unit.get();
                const size_t count = outputs.size();
                out.value = [unit, t, o, n, count](const std::vector<double>& y) {
                    std::vector<double> values(count);
                    const std::vector<double> yp(n, 0.0);
                    unit->Outputs({t, y.data(), yp.data()}, values.data());
                    return values[o];
                };
                return out;
            }
    }
    const std::vector<std::string> names = ColumnNames(model, session);
    constexpr size_t kListed = 30;
    std::string known;
    for (size_t k = 0; k < names.size() && k < kListed; ++k) known += (k ? ", " : "") + names[k];
    if (names.size() > kListed) known += ", ... (" + std::to_string(names.size()) + " in all)";
    throw SimError("--output " + column + ": no such column; the columns are " +
                   (known.empty() ? std::string("none") : known) + " (element outputs need the element's \"name\")");
}

void CheckGrid(const FrequencyGrid& g) {
    if (!(g.from > 0.0) || !std::isfinite(g.from))
        throw SimError("--from " + ShortestText(g.from) + ": the lowest frequency must be a positive number [Hz]");
    if (!(g.to > g.from) || !std::isfinite(g.to))
        throw SimError("--to " + ShortestText(g.to) + ": the highest frequency must lie above --from " +
                       ShortestText(g.from) + " Hz");
    if (g.points < 2 || g.points > 1000000)
        throw SimError("--points " + std::to_string(g.points) + ": between 2 and 1000000 frequencies");
}

FrequencyResponse ComputeResponse(const LinearModel& lin, const ResponseInput& input, const ResponseOutput& output,
                                  const FrequencyGrid& grid) {
    CheckGrid(grid);
    FrequencyResponse r;
    r.input = input.element;
    r.output = output.column;
    r.inputUnit = input.unit;
    // A and B share the network's pattern, so A + j*omega*B is formed value
    // by value and its analysis is done once.
    Eigen::SparseMatrix<Complex> m = lin.a.cast<Complex>();
    m.makeCompressed();
    Eigen::SparseLU<Eigen::SparseMatrix<Complex>, Eigen::COLAMDOrdering<int>> lu;
    lu.analyzePattern(m);
    const Eigen::Index nz = m.nonZeros();
    Eigen::VectorXcd rhs = Eigen::VectorXcd::Zero(m.rows());
    rhs[input.row] = 1.0;
    std::vector<double> scratch(lin.y.size());
    const double ratio = std::log(grid.to / grid.from) / (grid.points - 1);
    for (int k = 0; k < grid.points; ++k) {
        const double hz = k + 1 == grid.points ? grid.to : grid.from * std::exp(ratio * k);
        const double omega = 2.0 * std::numbers::pi * hz;
        for (Eigen::Index i = 0; i < nz; ++i)
            m.valuePtr()[i] = Complex(lin.a.valuePtr()[i], omega * lin.b.valuePtr()[i]);
        lu.factorize(m);
        if (lu.info() != Eigen::Success)
            throw SimError("at " + ShortestText(hz) + " Hz the linearised equations are singular (an undamped mode "
                           "at exactly this frequency, or a part of the model that nothing holds)");
        const Eigen::VectorXcd x = lu.solve(rhs);
        const Complex h = Complex(Derivative(output, lin.y, x.real(), scratch),
                                  Derivative(output, lin.y, x.imag(), scratch)) +
                          (output.column == input.valueColumn ? 1.0 : 0.0);
        r.hz.push_back(hz);
        r.h.push_back(h);
        r.magnitudeDb.push_back(20.0 * std::log10(std::abs(h)));
        double phase = std::arg(h) * 180.0 / std::numbers::pi;
        if (!r.phaseDeg.empty()) phase -= 360.0 * std::round((phase - r.phaseDeg.back()) / 360.0);
        r.phaseDeg.push_back(phase);
    }
    bool any = false;
    for (const Complex& h : r.h) any = any || h != 0.0;
    if (!any)
        throw SimError("--output " + output.column + " does not respond to --input " + input.element +
                       " at any frequency (its linearisation is zero)");
    return r;
}

} // namespace dvx::sim
