// IDA on the gear-chain example, two ways, with the same tolerances and the
// same output grid:
//
// BM_ChainFloor writes the chain's equations by hand as an IDA residual and
// solves them with IDA's band solver: no component, no network, no sparse
// LU. It is the floor that the simulator is measured against.
// BM_ChainSimulatorIda runs the same chain through the simulator: the
// component's step calls, the network's residual and the sparse LU (KLU at this size).
//
// Unknowns of the floor, interleaved so that the band is narrow: w0, M1, w1,
// M2, w2, ..., MN, wN. Equations (the simulator's, written out):
//   node 0:        J0*w0' + M1 - tau = 0
//   node i < N:    Ji*wi' - Ki*Mi + M(i+1) = 0
//   node N:        JN*wN' + d*wN - KN*MN = 0
//   gear i:        -w(i-1)/Ki + wi = 0
#include "benchmarks/bench_host.h"
#include "benchmarks/chain_model.h"
#include "hostsim/sim/integrators/integrator.h"
#include "hostsim/sim/placed_model.h"

#include <benchmark/benchmark.h>
#include <ida/ida.h>
#include <nvector/nvector_serial.h>
#include <sunlinsol/sunlinsol_band.h>
#include <sunmatrix/sunmatrix_band.h>

#include <cmath>
#include <memory>
#include <sstream>
#include <vector>

namespace {

using namespace dvx::sim;

constexpr double kStop = 5.0, kInterval = 0.1, kRtol = 1e-6, kAtol = 1e-8;
constexpr long kGears = 1000;

struct Chain {
    long n = kGears;
    std::vector<double> j, k; // j[i] on shaft i (0..n), k[i] of gear i (1..n)
    double tau = 5.0, d = 0.5;

    Chain() : j(static_cast<size_t>(kGears) + 1, 1e-4), k(static_cast<size_t>(kGears) + 1, 0.0) {
        j.front() = 0.01;
        j.back() = 1.0;
        for (long i = 1; i <= n; ++i) k[static_cast<size_t>(i)] = i % 2 ? 2.0 : 0.5;
    }
    static sunindextype W(long i) { return 2 * i; }
    static sunindextype M(long i) { return 2 * i - 1; }
};

int ChainResidual(realtype, N_Vector yv, N_Vector ypv, N_Vector rv, void* data) {
    const Chain& c = *static_cast<const Chain*>(data);
    const double* y = N_VGetArrayPointer(yv);
    const double* yp = N_VGetArrayPointer(ypv);
    double* r = N_VGetArrayPointer(rv);
    const auto n = c.n;
    r[Chain::W(0)] = c.j[0] * yp[Chain::W(0)] + y[Chain::M(1)] - c.tau;
    for (long i = 1; i < n; ++i)
        r[Chain::W(i)] = c.j[static_cast<size_t>(i)] * yp[Chain::W(i)] - c.k[static_cast<size_t>(i)] * y[Chain::M(i)] +
                         y[Chain::M(i + 1)];
    r[Chain::W(n)] = c.j[static_cast<size_t>(n)] * yp[Chain::W(n)] + c.d * y[Chain::W(n)] -
                     c.k[static_cast<size_t>(n)] * y[Chain::M(n)];
    for (long i = 1; i <= n; ++i)
        r[Chain::M(i)] = -y[Chain::W(i - 1)] / c.k[static_cast<size_t>(i)] + y[Chain::W(i)];
    return 0;
}

// Consistent values at rest: every speed 0, the accelerations in the
// chain's ratios, the torques from the node equations.
void RestStart(const Chain& c, double* y, double* yp) {
    const auto n = static_cast<size_t>(c.n);
    std::vector<double> ratio(n + 1, 1.0); // w_i / w_N
    for (size_t i = n; i >= 1; --i) ratio[i - 1] = c.k[i] * ratio[i];
    double jEff = 0.0;
    for (size_t i = 0; i <= n; ++i) jEff += c.j[i] * ratio[i] * ratio[i];
    const double accel = c.tau * ratio[0] / jEff;
    for (size_t i = 0; i < 2 * n + 1; ++i) y[i] = yp[i] = 0.0;
    for (size_t i = 0; i <= n; ++i) yp[Chain::W(static_cast<long>(i))] = ratio[i] * accel;
    double m = c.tau - c.j[0] * yp[0];
    y[Chain::M(1)] = m;
    for (size_t i = 1; i < n; ++i) {
        m = c.k[i] * m - c.j[i] * yp[Chain::W(static_cast<long>(i))];
        y[Chain::M(static_cast<long>(i) + 1)] = m;
    }
}

void BM_ChainFloor(benchmark::State& state) {
    Chain chain;
    const sunindextype size = 2 * chain.n + 1;
    SUNContext context = nullptr;
    SUNContext_Create(nullptr, &context);
    N_Vector y = N_VNew_Serial(size, context), yp = N_VNew_Serial(size, context), id = N_VNew_Serial(size, context);
    SUNMatrix a = SUNBandMatrix(size, 2, 2, context);
    SUNLinearSolver ls = SUNLinSol_Band(y, a, context);
    double* ids = N_VGetArrayPointer(id);
    for (sunindextype i = 0; i < size; ++i) ids[i] = i % 2 == 0 ? 1.0 : 0.0;
    long steps = 0, residuals = 0;
    double load = 0.0;
    for (auto _ : state) {
        RestStart(chain, N_VGetArrayPointer(y), N_VGetArrayPointer(yp));
        void* mem = IDACreate(context);
        IDAInit(mem, ChainResidual, 0.0, y, yp);
        IDASetUserData(mem, &chain);
        IDASStolerances(mem, kRtol, kAtol);
        IDASetId(mem, id);
        IDASetSuppressAlg(mem, SUNTRUE);
        IDASetLinearSolver(mem, ls, a);
        double t = 0.0;
        for (long i = 1; i <= static_cast<long>(std::lround(kStop / kInterval)); ++i) {
            IDASetStopTime(mem, kStop);
            IDASolve(mem, static_cast<double>(i) * kInterval, &t, y, yp, IDA_NORMAL);
        }
        IDAGetNumSteps(mem, &steps);
        IDAGetNumResEvals(mem, &residuals);
        load = N_VGetArrayPointer(y)[Chain::W(chain.n)];
        IDAFree(&mem);
    }
    state.counters["steps"] = static_cast<double>(steps);
    state.counters["residuals"] = static_cast<double>(residuals);
    state.counters["load_speed"] = load;
    SUNLinSolFree(ls);
    SUNMatDestroy(a);
    N_VDestroy(y);
    N_VDestroy(yp);
    N_VDestroy(id);
    SUNContext_Free(&context);
}
BENCHMARK(BM_ChainFloor)->Unit(benchmark::kMillisecond);

class LastSample : public Observer {
public:
    void OnStep(double, const std::vector<double>&) override {}
    void OnSample(const Sample& s) override { last = s.y; }
    std::vector<double> last;
};

// Arguments: shared, 1 for shared VectorBlocks and MatrixBlocks (the
// default), 0 for a pair per instance; energy, 1 to keep the energy account
// (the default), 0 for a run without it, as the floor has none.
void BM_ChainSimulatorIda(benchmark::State& state) {
    std::ostringstream log;
    PlacedModel placed(ParseModel(ChainModelText(kGears, kStop, kInterval), "chain.json"),
                       dvx::host::LibraryBesideProgram(), log,
                       {false, state.range(0) != 0 ? BlockSharing::Shared : BlockSharing::PerInstance, nullptr});
    Network& network = placed.network();
    network.SetRecorded({0, static_cast<size_t>(kGears) - 1});
    std::unique_ptr<Integrator> ida = MakeIntegrator(Method::Ida, network, placed.session);
    Settings settings = placed.model.settings;
    settings.method = Method::Ida;
    settings.rtol = kRtol;
    settings.atol = kAtol;
    settings.energy = state.range(1) != 0;
    LastSample observer;
    SolverStats stats;
    for (auto _ : state) stats = ida->Run(settings, observer);
    state.counters["steps"] = static_cast<double>(stats.steps);
    state.counters["residuals"] = static_cast<double>(stats.residuals);
    state.counters["factorizations"] = static_cast<double>(stats.factorizations);
    state.counters["step_calls"] = static_cast<double>(stats.stepCalls);
    state.counters["load_speed"] = observer.last.empty() ? 0.0 : observer.last[static_cast<size_t>(kGears)];
}
BENCHMARK(BM_ChainSimulatorIda)
    ->ArgNames({"shared", "energy"})
    ->Args({1, 1})
    ->Args({1, 0})
    ->Args({0, 1})
    ->Unit(benchmark::kMillisecond);

} // namespace
