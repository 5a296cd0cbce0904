// Set-up (call type 1) with a number and with the name of a host quantity.
#include "benchmarks/bench_host.h"
#include "tests/instance_record.h"

#include <benchmark/benchmark.h>

#include <array>
#include <cstring>

namespace {

using dvx::test::ReadInstance;

using dvx::bench::Host;

// Set-up splits its text at commas in place, so every call gets a fresh copy
// of the text (a few bytes; part of what a host does anyway).
template <size_t N>
int32_t Setup(UDMMainFn* main, const char (&text)[N], std::array<char, 64>& buffer,
              const dvx::host::HostInstance& instance) {
    std::memcpy(buffer.data(), text, N);
    return main(kCallSetup, buffer.data(), nullptr, nullptr, instance.InstanceHandle(),
                instance.InterfaceHandle());
}

void BM_SetupNumeric(benchmark::State& state) {
    auto& host = Host();
    dvx::host::HostInstance instance(host.library);
    std::array<char, 64> buffer{};
    int32_t status = kStatusOk;
    for (auto _ : state) {
        status |= Setup(host.library.Exports().main, "2.5k", buffer, instance);
    }
    if (status != kStatusOk || ReadInstance(instance).k != 2500.0)
        state.SkipWithError("set-up did not read 2.5k");
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SetupNumeric);

// A named set-up copies the name to the heap; the release (call type 7) in
// the same iteration frees it, so each iteration is one set-up and one
// release and nothing accumulates.
void BM_SetupNamed(benchmark::State& state) {
    auto& host = Host();
    dvx::host::HostInstance instance(host.library);
    std::array<char, 64> buffer{};
    UDMMainFn* const main = host.library.Exports().main;
    // One untimed round proves that the text is taken as a name.
    int32_t status = Setup(main, "GEAR_RATIO", buffer, instance);
    const bool named = ReadInstance(instance).kName != nullptr;
    for (auto _ : state) {
        status |= Setup(main, "GEAR_RATIO", buffer, instance);
        status |= main(kCallRelease, nullptr, nullptr, nullptr, instance.InstanceHandle(),
                       instance.InterfaceHandle());
    }
    if (status != kStatusOk || !named || ReadInstance(instance).kName != nullptr)
        state.SkipWithError("named set-up or release failed");
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SetupNamed);

} // namespace
