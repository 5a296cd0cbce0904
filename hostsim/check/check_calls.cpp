// Conformance checks of UDMMain: statuses of the frame, the calls of one
// instance's life with a numeric and a named K, and the messages.
#include "hostsim/check/check.h"

#include <cmath>
#include <limits>

namespace dvx::sim {

namespace {

using host::HostInstance;

std::string Got(int32_t status) { return "status " + std::to_string(status); }

// UDMMain with harmless arguments for every pointer.
int32_t CallWithArguments(HostInstance& inst, int32_t callType) {
    char text[] = "2";
    double in = 1.0, out = 0.0;
    return inst.Call(callType, text, &in, &out);
}

std::vector<uint32_t> Handles(const HostInstance& i) {
    return {i.InstanceHandle(), i.InterfaceHandle(), i.VectorHandle(), i.MatrixHandle()};
}

struct LocalEntries {
    std::vector<int32_t> rows, cols;
    std::vector<double> values;
};

LocalEntries ReadEntries(const HostInstance& inst, int count) {
    const size_t n = static_cast<size_t>(count);
    LocalEntries e{std::vector<int32_t>(n), std::vector<int32_t>(n), std::vector<double>(n)};
    const host::BlockLayout& b = inst.Blocks();
    host::ReadBlockBytes(inst.MatrixHandle(), b.rowsOffset, e.rows.data(), n * sizeof(int32_t));
    host::ReadBlockBytes(inst.MatrixHandle(), b.columnsOffset, e.cols.data(), n * sizeof(int32_t));
    host::ReadBlockBytes(inst.MatrixHandle(), b.valuesOffset, e.values.data(), n * sizeof(double));
    return e;
}

// The torque each local equation draws with the given entries and variables.
std::array<double, 3> RowSums(const LocalEntries& e, const std::array<double, 3>& vars) {
    std::array<double, 3> sums{};
    for (size_t k = 0; k < e.rows.size(); ++k) {
        const auto r = static_cast<size_t>(e.rows[k]);
        const auto col = static_cast<size_t>(e.cols[k]);
        if (r < 3 && col < 3) sums[r] += e.values[k] * vars[col];
    }
    return sums;
}

} // namespace

namespace {

// Each check of the statuses on an instance set up with "2" and laid out;
// each says only what is wrong with itself.
void CheckMainHandles(Checker& c, HostInstance& inst, uint32_t gone, uint32_t stale) {
    std::string bad;
    for (int32_t type : {1, 2, 3, 5, 6, 7}) {
        inst.callInstanceHandle = 0;
        if (int32_t s = CallWithArguments(inst, type); s != kStatusMissingHandle && bad.empty())
            bad = "call type " + std::to_string(type) + " with no InstanceData handle gave " + Got(s);
        inst.callInstanceHandle = inst.InstanceHandle();
        inst.callInterfaceHandle = 0;
        if (int32_t s = CallWithArguments(inst, type); s != kStatusMissingHandle && bad.empty())
            bad = "call type " + std::to_string(type) + " with no InterfaceBlock handle gave " + Got(s);
        inst.callInterfaceHandle = inst.InterfaceHandle();
    }
    c.Expect(bad.empty(), "a zero InstanceData or InterfaceBlock handle gives 28195", bad);

    bad.clear();
    for (uint32_t unusable : {gone, stale}) {
        inst.callInstanceHandle = unusable;
        if (int32_t s = CallWithArguments(inst, kCallStep); s != kStatusLockFailed && bad.empty())
            bad = "an InstanceData block that does not lock gave " + Got(s);
        inst.callInstanceHandle = inst.InstanceHandle();
        inst.callInterfaceHandle = unusable;
        if (int32_t s = CallWithArguments(inst, kCallStep); s != kStatusLockFailed && bad.empty())
            bad = "an InterfaceBlock that does not lock gave " + Got(s);
        inst.callInterfaceHandle = inst.InterfaceHandle();
    }
    c.Expect(bad.empty(), "a discarded or freed main block gives 28003", bad);
}

void CheckFurtherBlocks(Checker& c, HostInstance& inst, uint32_t gone) {
    const InterfaceBlock good = inst.ReadInterface();
    struct Spoil {
        const char* what;
        bool vector;
        uint32_t handle;
        int32_t status;
    };
    const Spoil spoils[] = {{"no VectorBlock handle", true, 0, kStatusMissingHandle},
                            {"no MatrixBlock handle", false, 0, kStatusMissingHandle},
                            {"a discarded VectorBlock", true, gone, kStatusLockFailed},
                            {"a discarded MatrixBlock", false, gone, kStatusLockFailed}};
    std::string bad;
    for (int32_t type : {2, 3, 6}) {
        for (const Spoil& s : spoils) {
            InterfaceBlock b = good;
            (s.vector ? b.vectorHandle : b.matrixHandle) = s.handle;
            inst.WriteInterface(b);
            double index = 1.0, out = 0.0;
            const int32_t status = inst.Call(type, nullptr, &index, &out);
            // Call type 6 needs only the VectorBlock.
            const int32_t expected = type == 6 && !s.vector ? kStatusOk : s.status;
            if (status != expected && bad.empty())
                bad = "call type " + std::to_string(type) + " with " + s.what + " gave " + Got(status) +
                      " instead of " + std::to_string(expected);
        }
    }
    inst.WriteInterface(good);
    c.Expect(bad.empty(), "missing or unlockable further blocks give 28195 or 28003 (type 6 needs no MatrixBlock)",
             bad);
}

void CheckIndicesAndIdleCalls(Checker& c, HostInstance& inst) {
    const double k = inst.Lookup("K");
    int32_t s0 = 0, s7 = 0, sk = 0;
    inst.Value(0.0, &s0);
    inst.Value(7.0, &s7);
    inst.Value(k, &sk);
    c.Expect(s0 == kStatusBadOutputIndex && s7 == kStatusBadOutputIndex && sk == kStatusOk,
             "output indices 0 and 7 give 28194, the index of K gives 0",
             Got(s0) + ", " + Got(s7) + ", " + Got(sk));

    std::string bad;
    std::vector<std::vector<uint8_t>> before;
    for (uint32_t h : Handles(inst)) before.push_back(host::ReadBlock(h));
    for (int32_t type : {0, 4, 8, -1})
        if (int32_t s = CallWithArguments(inst, type); s != kStatusOk && bad.empty())
            bad = "call type " + std::to_string(type) + " gave " + Got(s);
    std::vector<std::vector<uint8_t>> after;
    for (uint32_t h : Handles(inst)) after.push_back(host::ReadBlock(h));
    if (bad.empty() && before != after) bad = "a block changed";
    c.Expect(bad.empty(), "call types 0, 4, 8 and -1 return 0 and change nothing", bad);
}

} // namespace

void CheckStatuses(Checker& c) {
    HostInstance& inst = c.NewInstance();
    inst.Setup("2");
    inst.Layout();
    host::OwnedBlock gone(64);
    host::DiscardBlock(gone.Handle());
    host::OwnedBlock freed(64);
    const uint32_t stale = freed.Handle();
    freed.Reset();
    CheckMainHandles(c, inst, gone.Handle(), stale);
    CheckFurtherBlocks(c, inst, gone.Handle());
    CheckIndicesAndIdleCalls(c, inst);
}

void CheckNumericProtocol(Checker& c) {
    HostInstance& inst = c.NewInstance();
    const host::CallResult setup = inst.Setup("2");
    c.Expect(setup.status == kStatusOk, "set-up with the parameter text \"2\" returns 0", Got(setup.status));
    const int entries = inst.ReadInterface().jacobianEntries;
    c.Expect(entries >= 1 && entries <= 16, "set-up declares 1 to 16 Jacobian entries",
             "it declares " + std::to_string(entries));
    std::vector<double> indices;
    std::string bad;
    for (const std::string& name : c.outputs) {
        int32_t status = 0;
        const double index = inst.Lookup(name, &status);
        for (double other : indices)
            if (other == index && bad.empty()) bad = name + " shares its index with another output";
        if ((status != kStatusOk || index == 0.0) && bad.empty()) bad = name + " gives index 0 or " + Got(status);
        indices.push_back(index);
    }
    int32_t unknownStatus = 0;
    if (inst.Lookup("NO SUCH OUTPUT", &unknownStatus) != 0.0 && bad.empty()) bad = "an unknown name has an index";
    c.Expect(bad.empty(), "output lookup gives each catalogue output its own index and unknown names 0", bad);

    c.recorder.queries.clear();
    const int32_t layout = inst.Layout();
    c.Expect(layout == kStatusOk, "layout returns 0", Got(layout));
    size_t names = 0, values = 0;
    bool shape = true;
    for (const host::QueryRecord& q : c.recorder.queries) {
        if (q.code == kQueryService) {
            ++names;
            shape = shape && q.request && q.request->selector == 4.0 &&
                    q.request->handle == inst.InstanceHandle() && q.second != 0 && q.fourth > 0;
        }
        if (q.code == kQueryReference || q.code == kQueryValue) ++values;
    }
    c.Expect(names == 1 && shape,
             "layout asks for the instance name once: selector 4.0, the InstanceData handle, a buffer and its size",
             std::to_string(names) + " name requests" + (shape ? "" : ", one of the wrong shape"));
    c.Expect(values == 0, "a numeric K makes no query for a quantity", std::to_string(values) + " queries");
    const int count = entries >= 1 && entries <= 16 ? entries : 8;
    const LocalEntries structure = ReadEntries(inst, count);
    bool inRange = true;
    for (size_t k = 0; k < structure.rows.size(); ++k)
        inRange = inRange && structure.rows[k] >= 0 && structure.rows[k] <= 2 && structure.cols[k] >= 0 &&
                  structure.cols[k] <= 2;
    c.Expect(inRange, "the Jacobian entries use local rows and columns 0 to 2", "an index lies outside");

    const double nan = std::numeric_limits<double>::quiet_NaN();
    inst.SetRhs({nan, nan, nan});
    c.recorder.queries.clear();
    const int32_t step = inst.Step(10, 5, 3);
    c.Expect(step == kStatusOk, "a step returns 0", Got(step));
    const std::array<double, 3> rhs = inst.Rhs();
    c.Expect(std::isfinite(rhs[0]) && std::isfinite(rhs[1]) && std::isfinite(rhs[2]),
             "a step writes its three right-hand-side entries", "one still holds what the host left there");
    c.Expect(c.recorder.queries.empty(), "a step with a numeric K makes no query",
             std::to_string(c.recorder.queries.size()) + " queries");
    const std::array<double, 3> sums = RowSums(ReadEntries(inst, count), {10, 5, 3});
    c.Expect(sums[0] == 3 && sums[1] == -6 && std::abs(sums[2]) < 1e-12,
             "with K 2 and consistent variables 10, 5, 3 the entries draw 3 from ROT1, -6 from ROT2 and satisfy "
             "their own equation",
             "they give " + std::to_string(sums[0]) + ", " + std::to_string(sums[1]) + ", " +
                 std::to_string(sums[2]));
    std::array<double, 5> expected{3, 6, 10, 5, 2};
    const char* order[] = {"M1", "M2", "OMEGA1", "OMEGA2", "K"};
    bad.clear();
    for (size_t j = 0; j < 5; ++j)
        for (size_t o = 0; o < c.outputs.size(); ++o)
            if (c.outputs[o] == order[j] && inst.Value(indices[o]) != expected[j] && bad.empty())
                bad = std::string(order[j]) + " reads " + std::to_string(inst.Value(indices[o]));
    c.Expect(bad.empty(), "after that step the outputs read M1 3, M2 6, OMEGA1 10, OMEGA2 5, K 2", bad);
    const int32_t r1 = inst.Release(), r2 = inst.Release();
    c.Expect(r1 == kStatusOk && r2 == kStatusOk, "release returns 0, also when repeated", Got(r1) + ", " + Got(r2));
}

} // namespace dvx::sim
