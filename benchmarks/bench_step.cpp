// The step (call type 3) through the real library and handles, against the
// same arithmetic on plain pointers. The difference is the price of the call
// frame: the export call, four locks with their size checks, four unlocks
// and the bounds of the entries it reads and writes.
#include "benchmarks/bench_host.h"
#include "tests/instance_record.h"
#include "platform/memory.h"

#include <benchmark/benchmark.h>

#include <array>
#include <cstring>

namespace {

using dvx::test::ReadInstance;

using dvx::bench::Host;

constexpr double kFactor = 2.0;

void BM_StepCall(benchmark::State& state) {
    auto& host = Host();
    dvx::host::HostInstance instance(host.library);
    if (instance.Setup("2").status != kStatusOk || instance.Layout() != kStatusOk) {
        state.SkipWithError("set-up or layout failed");
        return;
    }
    instance.SetVariables(10.0, 5.0, 3.0);
    UDMMainFn* const main = host.library.Exports().main;
    const DvxHandle instanceHandle = instance.InstanceHandle();
    const DvxHandle interfaceHandle = instance.InterfaceHandle();
    int32_t status = kStatusOk;
    for (auto _ : state) {
        status |= main(kCallStep, nullptr, nullptr, nullptr, instanceHandle, interfaceHandle);
    }
    // The loop must have done the real work, and left every block unlocked.
    const InstanceData data = ReadInstance(instance);
    if (status != kStatusOk || data.m2 != 6.0 || instance.Values()[1] != -0.5)
        state.SkipWithError("the step did not compute what it should");
    for (const uint32_t handle : {instance.InstanceHandle(), instance.InterfaceHandle(),
                                  instance.VectorHandle(), instance.MatrixHandle()})
        if (dvx::host::LockCount(handle) != 0) state.SkipWithError("a block stayed locked");
    instance.Release();
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_StepCall);

// The step's own work on plain memory laid out as the host's blocks are:
// three reads, four outputs, two entries, three right-hand sides.
void BM_StepKernel(benchmark::State& state) {
    InstanceData instance{};
    instance.k = kFactor;
    instance.couplingStart = 0;
    std::array<double, 6> vector{10.0, 5.0, 3.0, 1.0, 1.0, 1.0};
    std::array<double, kJacobianEntries> values{};
    double* const variables = vector.data();
    double* const rhs = vector.data() + 3;
    InstanceData* data = &instance;
    double* entries = values.data();
    for (auto _ : state) {
        // The pointers are opaque to the optimiser, so every read and write
        // happens on every iteration, as it must through the handles.
        benchmark::DoNotOptimize(data);
        benchmark::DoNotOptimize(entries);
        const double k = data->k;
        data->omega1 = variables[0];
        data->omega2 = variables[1];
        data->m1 = variables[2];
        data->m2 = variables[2] * k;
        const size_t position = static_cast<size_t>(data->couplingStart) + 1;
        entries[position] = -1.0 / k;
        entries[position + 1] = -1.0 * k;
        rhs[0] = 0.0;
        rhs[1] = 0.0;
        rhs[2] = 0.0;
        benchmark::ClobberMemory();
    }
    if (instance.m2 != 6.0 || values[1] != -0.5) state.SkipWithError("the kernel computed a wrong value");
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_StepKernel);

// The floor under BM_StepCall: the four locks and unlocks alone, in the
// frame's order and through the same inline path, with nothing in between.
void BM_FourLockPairs(benchmark::State& state) {
    auto& host = Host();
    dvx::host::HostInstance instance(host.library);
    const uint32_t instanceHandle = instance.InstanceHandle();
    const uint32_t interfaceHandle = instance.InterfaceHandle();
    const uint32_t vectorHandle = instance.VectorHandle();
    const uint32_t matrixHandle = instance.MatrixHandle();
    size_t total = 0;
    for (auto _ : state) {
        MemHeld held[4];
        size_t sizes[4];
        void* instanceData = MemLockHeld(instanceHandle, &sizes[0], &held[0]);
        void* interfaceData = MemLockHeld(interfaceHandle, &sizes[1], &held[1]);
        void* vectorData = MemLockHeld(vectorHandle, &sizes[2], &held[2]);
        void* matrixData = MemLockHeld(matrixHandle, &sizes[3], &held[3]);
        benchmark::DoNotOptimize(instanceData);
        benchmark::DoNotOptimize(interfaceData);
        benchmark::DoNotOptimize(vectorData);
        benchmark::DoNotOptimize(matrixData);
        MemUnlockHeld(&held[2]);
        MemUnlockHeld(&held[3]);
        MemUnlockHeld(&held[1]);
        MemUnlockHeld(&held[0]);
        total += sizes[0] + sizes[1] + sizes[2] + sizes[3];
    }
    benchmark::DoNotOptimize(total);
    for (const uint32_t handle : {instanceHandle, interfaceHandle, vectorHandle, matrixHandle})
        if (dvx::host::LockCount(handle) != 0) state.SkipWithError("a block stayed locked");
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FourLockPairs);

} // namespace
