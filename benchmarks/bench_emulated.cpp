// The product DLL on the emulated i386 CPU against the native library: a
// call that does nothing (the price of entering and leaving the emulation),
// the step call (its four locks, sizes and unlocks are trap entries into the
// host's memory layer), and vehicle-launch's whole run. The DLL is the
// Windows build's (DVX_COMPONENT_DIR, or build/windows); without it the
// emulated cases report an error instead of a time.
#include "benchmarks/bench_host.h"
#include "tests/instance_record.h"
#include "hostsim/kit/emulated/emulated_library.h"
#include "hostsim/sim/run.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sstream>

namespace {

using dvx::test::ReadInstance;

using namespace dvx;

std::filesystem::path WindowsDll() {
    const char* dir = std::getenv("DVX_COMPONENT_DIR");
    const std::filesystem::path folder = dir != nullptr && dir[0] != '\0'
                                             ? std::filesystem::path(dir)
                                             : std::filesystem::path(DVX_SOURCE_DIR) / "build" / "windows";
    return folder / "Dolvanex.dll";
}

// The library of a case: argument 0 native, 1 the emulated DLL (null when
// it is not built).
const host::ComponentLibrary* LibraryOf(benchmark::State& state) {
    if (state.range(0) == 0) return &bench::Host().library;
    static const std::unique_ptr<host::ComponentLibrary> emulated = [] {
        std::unique_ptr<host::ComponentLibrary> library;
        if (std::filesystem::exists(WindowsDll())) library = std::make_unique<host::EmulatedLibrary>(WindowsDll());
        return library;
    }();
    if (!emulated) state.SkipWithError(("no " + WindowsDll().string() + ": build the windows preset").c_str());
    return emulated.get();
}

void Label(benchmark::State& state) { state.SetLabel(state.range(0) == 0 ? "native" : "emulated i386"); }

void BM_CallWithoutWork(benchmark::State& state) {
    const host::ComponentLibrary* library = LibraryOf(state);
    if (library == nullptr) return;
    int32_t sum = 0;
    for (auto _ : state) sum += library->GetVersionNumber();
    if (sum != 2 * static_cast<int32_t>(state.iterations())) state.SkipWithError("GetVersionNumber did not answer 2");
    Label(state);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CallWithoutWork)->Arg(0)->Arg(1);

void BM_StepCallBackends(benchmark::State& state) {
    const host::ComponentLibrary* library = LibraryOf(state);
    if (library == nullptr) return;
    bench::Host(); // its recorder answers the library's callbacks
    host::HostRecorder recorder;
    recorder.recordQueries = false;
    recorder.Activate();
    ModelDescriptor descriptor{};
    library->Init(&host::HostRecorder::Message, &host::HostRecorder::Query, &descriptor);
    host::HostInstance instance(*library);
    if (instance.Setup("2").status != kStatusOk || instance.Layout() != kStatusOk) {
        state.SkipWithError("set-up or layout failed");
        return;
    }
    instance.SetVariables(10.0, 5.0, 3.0);
    int32_t status = kStatusOk;
    for (auto _ : state)
        status |= library->Main(kCallStep, nullptr, nullptr, nullptr, instance.InstanceHandle(),
                                instance.InterfaceHandle());
    if (status != kStatusOk || ReadInstance(instance).m2 != 6.0 || instance.Values()[1] != -0.5)
        state.SkipWithError("the step did not compute what it should");
    instance.Release();
    Label(state);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_StepCallBackends)->Arg(0)->Arg(1);

// vehicle-launch from its file to its results, as `dolvanex-host run` does
// without writing them.
void BM_VehicleLaunchBackends(benchmark::State& state) {
    if (LibraryOf(state) == nullptr) return;
    sim::RunOptions options;
    options.model = std::filesystem::path(DVX_SOURCE_DIR) / "examples" / "vehicle-launch" / "model.json";
    options.library = state.range(0) == 0 ? host::LibraryBesideProgram() : WindowsDll();
    long calls = 0;
    for (auto _ : state) {
        std::ostringstream log;
        const sim::RunResult result = sim::RunSimulation(options, log);
        calls = result.stats.stepCalls;
    }
    state.counters["step_calls"] = static_cast<double>(calls);
    Label(state);
}
BENCHMARK(BM_VehicleLaunchBackends)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

} // namespace
