// dolvanex-host modes on long chains: the model placed, linearised at its
// start and its modes computed, per run.
//
// BM_ModesSpringChain/N: N inertias joined by springs, each spring reached
// through a gear of K = 1 and a node without inertia (4N unknowns, 2N of
// them differential, index 1): 2N finite eigenvalues, a dense eigenproblem
// of 2N. BM_ModesGearChain/N: the gear-chain example's shape, N gears
// between inertias, every gear an index-2 constraint: N of the N+1
// differential unknowns are constrained and one mode is left.
//
// BM_ModesLowestSpringChain/N: the ten lowest modes of the spring chain by
// the sparse solver, each iteration the whole of `modes` but the process
// start: the model text parsed, placed, linearised at its start and solved.
// Counter max_error: the worst relative error of the ten against the closed
// form w_k = 2*sqrt(c/J)*sin((2k-1)*pi/(4n+2)).
//
// Counters: the reduced problem's size, its dense matrices' bytes (the
// reduced matrix and its complex eigenvectors), and the process's peak
// resident memory so far (the runs go from small to large).
#include "benchmarks/chain_model.h"
#include "hostsim/kit/library.h"
#include "hostsim/sim/analysis/linearise.h"
#include "hostsim/sim/analysis/modes.h"
#include "hostsim/sim/placed_model.h"

#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <numbers>
#include <sstream>
#include <string>

namespace {

using namespace dvx::sim;

double PeakResidentMegabytes() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0; // Linux reports kilobytes
}

void RunModes(benchmark::State& state, const std::string& text) {
    std::ostringstream log;
    PlacedModel placed(ParseModel(text, "chain.json"), dvx::host::LibraryBesideProgram(), log);
    const Model& model = placed.model;
    ModeSet set;
    for (auto _ : state) {
        set = ComputeModes(LineariseAt(model, placed.network(), placed.session, model.settings.start), model);
        benchmark::DoNotOptimize(set.modes.data());
    }
    const double r = static_cast<double>(set.differential - set.constraints);
    state.counters["unknowns"] = set.unknowns;
    state.counters["reduced"] = r;
    state.counters["modes"] = static_cast<double>(set.modes.size());
    state.counters["dense_MB"] = r * r * (8.0 + 16.0) / 1e6;
    state.counters["peak_rss_MB"] = PeakResidentMegabytes();
}

void BM_ModesSpringChain(benchmark::State& state) {
    RunModes(state, SpringChainModelText(state.range(0), 0.02, 800.0));
}
void BM_ModesGearChain(benchmark::State& state) { RunModes(state, ChainModelText(state.range(0), 1.0, 0.1)); }

void BM_ModesLowestSpringChain(benchmark::State& state) {
    const long n = state.range(0);
    const double j = 0.02, c = 800.0;
    const std::string text = SpringChainModelText(n, j, c);
    ModeSet set;
    for (auto _ : state) {
        std::ostringstream log;
        PlacedModel placed(ParseModel(text, "chain.json"), dvx::host::LibraryBesideProgram(), log);
        const Model& model = placed.model;
        set = ComputeModes(LineariseAt(model, placed.network(), placed.session, model.settings.start), model,
                           {Solver::Auto, 10, 0.0});
        benchmark::DoNotOptimize(set.modes.data());
    }
    double worst = 0.0;
    for (size_t k = 0; k < set.modes.size(); ++k) {
        const double omega = 2.0 * std::sqrt(c / j) *
                             std::sin(static_cast<double>(2 * k + 1) * std::numbers::pi / (4.0 * static_cast<double>(n) + 2.0));
        worst = std::max(worst, std::abs(set.modes[k].naturalHz * 2.0 * std::numbers::pi / omega - 1.0));
    }
    state.counters["modes"] = static_cast<double>(set.modes.size());
    state.counters["max_error"] = worst;
    state.counters["peak_rss_MB"] = PeakResidentMegabytes();
}

BENCHMARK(BM_ModesLowestSpringChain)->Arg(1000)->Arg(5000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ModesLowestSpringChain)->Arg(20000)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ModesSpringChain)->Arg(50)->Arg(100)->Arg(200)->Arg(400)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ModesSpringChain)->Arg(1000)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ModesGearChain)->Arg(100)->Arg(1000)->Unit(benchmark::kMillisecond);

} // namespace
