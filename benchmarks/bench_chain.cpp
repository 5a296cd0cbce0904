// The host simulator on a chain of N gears in series (the gear-chain
// example's shape: a torque source and a motor inertia, N gears with K = 2
// and 500m in turn, an inertia on every shaft, a damped load), reported per
// instance-step.
//
// BM_SimulateChain times the simulator's own run loop: a run of 50 steps on a
// placed chain, with the run's consistent start (two short Euler steps) and
// its factorisations included, as every run performs them.
// BM_ChainComponentCalls times only the UDMMain calls that one simulator step
// makes for each instance (two steps, five output values), straight through
// the library, so that the component's share of a step can be read off.
#include "benchmarks/bench_host.h"
#include "benchmarks/chain_model.h"
#include "hostsim/sim/integrators/integrator.h"
#include "hostsim/sim/placed_model.h"

#include <benchmark/benchmark.h>

#include <memory>
#include <sstream>
#include <string>

namespace {

using namespace dvx::sim;

constexpr double kStep = 1e-3;
constexpr long kStepsPerRun = 50;

// A placed chain, ready to run: the model, the loaded component with every
// instance set up and laid out, the network and the solver.
struct Chain {
    explicit Chain(long gears, BlockSharing sharing = BlockSharing::Shared)
        : placed(ParseModel(ChainModelText(gears, 1.0, 0.1), "chain-" + std::to_string(gears) + ".json"),
                 dvx::host::LibraryBesideProgram(), log, {false, sharing, nullptr}),
          model(placed.model), session(placed.session), network(&placed.network()) {
        bdf2 = MakeIntegrator(Method::Bdf2, *network, session);
        ida = MakeIntegrator(Method::Ida, *network, session);
    }

    std::ostringstream log; // first: the placed model writes to it
    PlacedModel placed;
    const Model& model;
    Session& session;
    Network* network;
    std::unique_ptr<Integrator> bdf2, ida;
};

// Keeps the last outputs, as any observer must look at them.
class LastOutputs : public Observer {
public:
    void OnStep(double, const std::vector<double>&) override {}
    void OnSample(const Sample& s) override { last = s.outputs.empty() ? s.y.back() : s.outputs.back(); }
    double last = 0.0;
};

void SetPerInstanceStep(benchmark::State& state, long gears, long steps) {
    const double instanceSteps = static_cast<double>(gears) * static_cast<double>(steps);
    // Simulated steps per second, instance-steps per second, and the inverse
    // of the latter: seconds per instance-step.
    state.counters["steps"] =
        benchmark::Counter(static_cast<double>(steps), benchmark::Counter::kIsIterationInvariantRate);
    state.counters["instance_steps"] =
        benchmark::Counter(instanceSteps, benchmark::Counter::kIsIterationInvariantRate);
    state.counters["per_instance_step"] = benchmark::Counter(
        instanceSteps, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_SimulateChain(benchmark::State& state) {
    const long gears = state.range(0);
    Chain chain(gears);
    Settings settings = chain.model.settings;
    settings.start = 0.0;
    settings.step = kStep;
    settings.stop = kStep * kStepsPerRun;
    settings.outputInterval = settings.stop;
    LastOutputs observer;
    long steps = 0;
    for (auto _ : state) {
        steps = chain.bdf2->Run(settings, observer).steps;
        benchmark::DoNotOptimize(observer.last);
    }
    // The load turns the way the torque pushes it.
    if (steps != kStepsPerRun || !(observer.last > 0.0)) state.SkipWithError("the run did not go as planned");
    SetPerInstanceStep(state, gears, kStepsPerRun);
}
BENCHMARK(BM_SimulateChain)->Arg(1)->Arg(100)->Arg(10000)->Unit(benchmark::kMillisecond);

// The simulator's IDA run on the chain over 0.2 s (the start's consistent
// values included), reported per instance and residual evaluation: the cost
// of the network's residual, the component's step calls, the Jacobian and
// the sparse LU, spread over the residuals. The second argument: 1 when the
// instances share their VectorBlocks and MatrixBlocks (the default), 0 when
// each has a pair of its own.
void BM_SimulateChainIda(benchmark::State& state) {
    const long gears = state.range(0);
    Chain chain(gears, state.range(1) != 0 ? BlockSharing::Shared : BlockSharing::PerInstance);
    chain.network->SetRecorded({});
    Settings settings = chain.model.settings;
    settings.method = Method::Ida;
    settings.start = 0.0;
    settings.stop = 0.2;
    settings.outputInterval = 0.2;
    LastOutputs observer;
    SolverStats stats;
    for (auto _ : state) stats = chain.ida->Run(settings, observer);
    const double work = static_cast<double>(gears) * static_cast<double>(stats.residuals);
    state.counters["steps"] = static_cast<double>(stats.steps);
    state.counters["residuals"] = static_cast<double>(stats.residuals);
    state.counters["factorizations"] = static_cast<double>(stats.factorizations);
    state.counters["per_instance_residual"] =
        benchmark::Counter(work, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_SimulateChainIda)
    ->ArgNames({"gears", "shared"})
    ->Args({100, 1})
    ->Args({100, 0})
    ->Args({10000, 1})
    ->Args({10000, 0})
    ->Unit(benchmark::kMillisecond);

void BM_ChainComponentCalls(benchmark::State& state) {
    const long gears = state.range(0);
    Chain chain(gears);
    UDMMainFn* const main = dynamic_cast<const dvx::host::NativeLibrary&>(chain.session.Library()).Exports().main;
    std::vector<std::pair<DvxHandle, DvxHandle>> handles;
    for (size_t i = 0; i < chain.session.Count(); ++i) {
        const auto& host = *chain.session.At(i).host;
        handles.emplace_back(host.InstanceHandle(), host.InterfaceHandle());
    }
    int32_t status = kStatusOk;
    double value = 0.0;
    for (auto _ : state) {
        for (long step = 0; step < kStepsPerRun; ++step) {
            for (const auto& [instance, interfaceBlock] : handles) {
                status |= main(kCallStep, nullptr, nullptr, nullptr, instance, interfaceBlock);
                status |= main(kCallStep, nullptr, nullptr, nullptr, instance, interfaceBlock);
                for (double index = 1.0; index <= 5.0; index += 1.0)
                    status |= main(kCallOutputValue, nullptr, &index, &value, instance, interfaceBlock);
            }
        }
        benchmark::DoNotOptimize(value);
    }
    if (status != kStatusOk) state.SkipWithError("a component call failed");
    SetPerInstanceStep(state, gears, kStepsPerRun);
}
BENCHMARK(BM_ChainComponentCalls)->Arg(100)->Unit(benchmark::kMillisecond);

} // namespace
