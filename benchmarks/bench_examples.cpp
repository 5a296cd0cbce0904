// Each bundled example (and a chain of 100 gears) with IDA at rtol 1e-6
// against BDF2 at the fixed step that reaches the same error, measured
// against the example's closed form or, where it has none, against IDA at
// rtol 1e-10. Counters: steps, error (the largest deviation of one speed over
// the samples off breakpoints), and for BDF2 the step found and whether it reached IDA's
// error within the step limit.
//
// The step search runs once, before the timing: BDF2's error falls with h^2,
// so from one run the step that meets the error is predicted, tried, and
// shortened until it does. Steps stay whole divisions of the output
// interval.
#include "benchmarks/chain_model.h"
#include "benchmarks/ready_model.h"
#include "hostsim/sim/model/model.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <filesystem>
#include <functional>
#include <map>

namespace {

using namespace dvx;
using namespace dvx::sim;

constexpr double kRtol = 1e-6;
constexpr double kReferenceRtol = 1e-10;
constexpr long kStepLimit = 2'000'000; // BDF2 steps a search may try

struct Example {
    std::string name;
    std::function<Model()> load;
    std::string unknown;                // the speed compared
    std::function<double(double)> exact; // null: against IDA at kReferenceRtol
};

Model Bundled(const std::string& name) {
    return LoadModel(std::filesystem::path(DVX_SOURCE_DIR) / "examples" / name / "model.json");
}

// The chain's load speed: every inertia reflected to the load through the
// ratio of its shaft's speed to the load's.
double ChainLoadSpeed(long gears, double t) {
    std::vector<double> ratio(static_cast<size_t>(gears) + 1, 1.0);
    for (long i = gears; i >= 1; --i) ratio[static_cast<size_t>(i) - 1] = (i % 2 ? 2.0 : 0.5) * ratio[static_cast<size_t>(i)];
    double jEff = 1.0 + 0.01 * ratio[0] * ratio[0];
    for (long i = 1; i < gears; ++i) jEff += 1e-4 * ratio[static_cast<size_t>(i)] * ratio[static_cast<size_t>(i)];
    const double tau = 5.0 * ratio[0], d = 0.5;
    return tau / d * (1.0 - std::exp(-t * d / jEff));
}

const std::vector<Example>& Examples() {
    static const std::vector<Example> examples = {
        {"motor-gear", [] { return Bundled("motor-gear"); }, "load.omega",
         [](double t) { return 40.0 * (1.0 - std::exp(-t / 3.3)); }},
        {"gear-chain-100", [] { return ParseModel(ChainModelText(100, 5.0, 0.1), "chain-100.json"); },
         "shaft100.omega", [](double t) { return ChainLoadSpeed(100, t); }},
        {"brake-stop", [] { return Bundled("brake-stop"); }, "load.omega",
         [](double t) { return std::max(0.0, 10.0 - 5.0 / 0.68 * t); }},
        {"clutch-lockup", [] { return Bundled("clutch-lockup"); }, "shaft.omega",
         [](double t) {
             const double lock = 100.0 / (100.0 + 40.0 / 0.135);
             return t < lock ? 40.0 / 0.135 * t : 40.0 / 0.135 * lock + 20.0 / 0.335 * (t - lock);
         }},
        // Both speeds are held by the speed source and the named K: the gear's
        // torque is what there is to compare.
        {"variable-ratio", [] { return Bundled("variable-ratio"); }, "cvt.M1", nullptr},
        {"vehicle-launch", [] { return Bundled("vehicle-launch"); }, "wheels.omega", nullptr},
    };
    return examples;
}

struct Run {
    double error = 0.0;
    long steps = 0;
};

// One run of `method`; the error against `exact` or against `reference`'s
// samples.
Run RunOnce(const Example& e, Method method, double rtol, double step, const bench::UnknownTrace* reference,
            bench::UnknownTrace* keep = nullptr) {
    bench::ReadyModel placed(e.load(), method);
    Settings s = placed.model.settings;
    s.method = method;
    s.rtol = rtol;
    s.step = step;
    bench::UnknownTrace trace(bench::UnknownOf(*placed.network, e.unknown));
    Run run;
    run.steps = placed.integrator->Run(s, trace).steps;
    // A sample on a breakpoint is IDA's value after it and BDF2's from the
    // steps before it: such samples are left out.
    const std::vector<double> breaks = placed.network->Breakpoints(s.start, s.stop);
    auto onBreak = [&breaks](double t) {
        for (double b : breaks)
            if (std::abs(b - t) < 1e-9) return true;
        return false;
    };
    for (size_t i = 0; i < trace.t.size() && (e.exact || reference != nullptr); ++i) {
        if (onBreak(trace.t[i])) continue;
        const double want = e.exact ? e.exact(trace.t[i]) : reference->value[i];
        run.error = std::max(run.error, std::abs(trace.value[i] - want));
    }
    if (keep != nullptr) *keep = trace;
    return run;
}

struct Comparison {
    Run ida, bdf2;
    double bdf2Step = 0.0;
    bool reached = false;
};

const Comparison& Compare(const Example& e) {
    static std::map<std::string, Comparison> done;
    auto it = done.find(e.name);
    if (it != done.end()) return it->second;
    Comparison c;
    bench::UnknownTrace reference(0);
    if (!e.exact) RunOnce(e, Method::Ida, kReferenceRtol, 1e-3, nullptr, &reference);
    c.ida = RunOnce(e, Method::Ida, kRtol, 1e-3, &reference);
    const Settings settings = e.load().settings;
    const double span = settings.stop - settings.start, interval = settings.outputInterval;
    long perInterval = 8;
    for (int attempt = 0; attempt < 12; ++attempt) {
        const double h = interval / static_cast<double>(perInterval);
        c.bdf2 = RunOnce(e, Method::Bdf2, kRtol, h, &reference);
        c.bdf2Step = h;
        if (c.bdf2.error <= c.ida.error) {
            c.reached = true;
            break;
        }
        // Error ~ h^2: the division that should meet IDA's error, and a
        // little more.
        const double factor = std::sqrt(c.bdf2.error / std::max(c.ida.error, 1e-300));
        long next = static_cast<long>(std::ceil(static_cast<double>(perInterval) * factor * 1.1));
        next = std::max(next, perInterval + 1);
        if (span / interval * static_cast<double>(next) > static_cast<double>(kStepLimit)) {
            next = static_cast<long>(static_cast<double>(kStepLimit) * interval / span);
            if (next <= perInterval) break;
        }
        perInterval = next;
    }
    return done.emplace(e.name, c).first->second;
}

void TimeRuns(benchmark::State& state, const Example& e, Method method) {
    const Comparison& c = Compare(e);
    bench::ReadyModel placed(e.load(), method);
    Settings s = placed.model.settings;
    s.method = method;
    s.rtol = kRtol;
    s.step = method == Method::Ida ? 1e-3 : c.bdf2Step;
    bench::UnknownTrace trace(bench::UnknownOf(*placed.network, e.unknown));
    long steps = 0;
    for (auto _ : state) {
        trace.Clear();
        steps = placed.integrator->Run(s, trace).steps;
        benchmark::DoNotOptimize(trace.value.data());
    }
    const Run& run = method == Method::Ida ? c.ida : c.bdf2;
    state.counters["steps"] = static_cast<double>(steps);
    state.counters["error"] = run.error;
    if (method == Method::Bdf2) {
        state.counters["step_s"] = c.bdf2Step;
        state.counters["reached"] = c.reached ? 1.0 : 0.0;
        state.counters["ida_steps_ratio"] = static_cast<double>(steps) / static_cast<double>(c.ida.steps);
    }
}

const bool kRegistered = [] {
    for (const Example& e : Examples()) {
        benchmark::RegisterBenchmark(("BM_ExampleIda/" + e.name).c_str(),
                                     [&e](benchmark::State& state) { TimeRuns(state, e, Method::Ida); })
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("BM_ExampleBdf2/" + e.name).c_str(),
                                     [&e](benchmark::State& state) { TimeRuns(state, e, Method::Bdf2); })
            ->Unit(benchmark::kMillisecond);
    }
    return true;
}();

} // namespace
