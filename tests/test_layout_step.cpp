// Call types 2 and 3: the instance name, a named K resolved through the host,
// the eight Jacobian entries, and the steps that refresh K and the outputs.
#include "tests/fixture.h"
#include "tests/instance_record.h"

#include <cmath>
#include <cstring>

namespace dvx::test {
namespace {

using Entries = std::array<double, 8>;

class LayoutStep : public ComponentTest {
protected:
    // A host quantity whose value the test sets; reference (7.9, -2.5).
    void ScriptQuantity(double* value) {
        recorder.onReference = [](const char*, double* reference) {
            reference[0] = 7.9;
            reference[1] = -2.5;
        };
        recorder.onValue = [value](const double*, double* out) { *out = *value; };
    }
};

TEST_F(LayoutStep, StructureOfTheEightEntries) {
    auto& instance = NewInstance();
    instance.Setup("2");
    EXPECT_EQ(instance.Layout(), kStatusOk);
    EXPECT_EQ(instance.Rows(), (std::array<int32_t, 8>{0, 2, 1, 2, 0, 0, 1, 1}));
    EXPECT_EQ(instance.Columns(), (std::array<int32_t, 8>{2, 0, 2, 1, 0, 1, 0, 1}));
    EXPECT_EQ(instance.Values(), (Entries{1.0, -0.5, -2.0, 1.0, 0, 0, 0, 0}));
    const InstanceData data = ReadInstance(instance);
    EXPECT_EQ(data.couplingStart, 0);
    EXPECT_EQ(data.couplingCount, 4);
    EXPECT_EQ(data.zeroGroupStart, 4);
    EXPECT_EQ(data.zeroGroupCount, 4);
    EXPECT_EQ(data.entryCount, 8);
    EXPECT_STREQ(data.instanceName, "instance");
    EXPECT_EQ(recorder.CountQueries(kQueryReference) + recorder.CountQueries(kQueryValue), 0u);
    EXPECT_TRUE(recorder.messages.empty());
}

TEST_F(LayoutStep, NegativeFactorEntries) {
    auto& instance = NewInstance();
    instance.Setup("-4");
    instance.Layout();
    const Entries values = instance.Values();
    EXPECT_EQ(values[1], 0.25);
    EXPECT_EQ(values[2], 4.0);
}

TEST_F(LayoutStep, InstanceNameRequestShape) {
    auto& instance = NewInstance();
    instance.Setup("2");
    instance.Layout();
    ASSERT_EQ(recorder.CountQueries(kQueryService), 1u);
    const host::QueryRecord& q = recorder.queries[0];
    ASSERT_TRUE(q.request.has_value());
    EXPECT_EQ(q.request->selector, 4.0);
    EXPECT_EQ(q.request->handle, instance.InstanceHandle());
    EXPECT_EQ(q.fourth, 260);
}

TEST_F(LayoutStep, FailedNameRequestIsReportedAndLayoutCompletes) {
    recorder.onService = [](char* buffer, const HostServiceRequest&, intptr_t) {
        std::strcpy(buffer, "half");
        return 1;
    };
    auto& instance = NewInstance();
    instance.Setup("2");
    EXPECT_EQ(instance.Layout(), kStatusOk);
    ASSERT_EQ(recorder.messages.size(), 1u);
    EXPECT_EQ(recorder.messages[0].severity, 2);
    EXPECT_EQ(recorder.messages[0].text, "Quorin1 - half : Error retrieving model instance name !");
    EXPECT_EQ(instance.Values()[2], -2.0);
}

TEST_F(LayoutStep, UnterminatedNameIsReadWithinItsBuffer) {
    recorder.onService = [](char* buffer, const HostServiceRequest&, intptr_t size) {
        std::memset(buffer, 'N', static_cast<size_t>(size)); // no terminator
        return 1;
    };
    auto& instance = NewInstance();
    instance.Setup("2");
    EXPECT_EQ(instance.Layout(), kStatusOk);
    ASSERT_EQ(recorder.messages.size(), 1u);
    EXPECT_EQ(recorder.messages[0].text,
              "Quorin1 - " + std::string(260, 'N') + " : Error retrieving model instance name !");
}

TEST_F(LayoutStep, EntryCountMismatchIsReportedWithBothCounts) {
    auto& instance = NewInstance();
    instance.Setup("2");
    InterfaceBlock block = instance.ReadInterface();
    block.jacobianEntries = 10;
    instance.WriteInterface(block);
    EXPECT_EQ(instance.Layout(), kStatusOk);
    ASSERT_EQ(recorder.messages.size(), 1u);
    EXPECT_EQ(recorder.messages[0].severity, 3);
    EXPECT_EQ(recorder.messages[0].text,
              "Quorin1 - instance : Jacobi matrix index error: \nEnsure that #entries = highest row/column "
              "index ! \nTotal index count = 8, #entries = 10 !");
    EXPECT_EQ(instance.Values()[1], -0.5);
}

struct NamedRow {
    double hostValue;
    double k;
};

TEST_F(LayoutStep, NamedFactorIsLimitedAndZeroBecomesOne) {
    const NamedRow rows[] = {{3.0, 3.0}, {0.0, 1.0}, {-0.0, 1.0}, {3e17, 1e16}, {-3e17, -1e16}, {0.5, 0.5}};
    for (const NamedRow& row : rows) {
        double value = row.hostValue;
        ScriptQuantity(&value);
        auto& instance = NewInstance();
        instance.Setup("RATIO");
        recorder.Clear();
        instance.Layout();
        const InstanceData data = ReadInstance(instance);
        EXPECT_EQ(data.k, row.k) << row.hostValue;
        EXPECT_EQ(data.kRefFirst, 7);
        EXPECT_EQ(data.kRefSecond, -2);
        EXPECT_EQ(instance.Values()[1], -1.0 / row.k);
        EXPECT_EQ(instance.Values()[2], -1.0 * row.k);
        ASSERT_EQ(recorder.CountQueries(kQueryReference), 1u);
        ASSERT_EQ(recorder.CountQueries(kQueryValue), 1u);
        for (const auto& q : recorder.queries) {
            if (q.code == kQueryReference) {
                EXPECT_EQ(q.name, "RATIO");
                EXPECT_EQ(q.third, 0);
            }
            if (q.code == kQueryValue) {
                EXPECT_EQ(q.second, 0);
                EXPECT_EQ(q.reference, (std::array<double, 2>{7.0, -2.0}));
            }
        }
    }
}

TEST_F(LayoutStep, ReferencesBeyondTheIntegerRangeSaturate) {
    const double nan = std::nan("");
    const struct {
        double first, second;
        int32_t refFirst, refSecond;
    } rows[] = {{nan, 1e300, 0, INT32_MAX}, {-1e300, -HUGE_VAL, INT32_MIN, INT32_MIN}, {-0.9, 2147483647.5, 0, INT32_MAX}};
    for (const auto& row : rows) {
        recorder.onReference = [&row](const char*, double* reference) {
            reference[0] = row.first;
            reference[1] = row.second;
        };
        auto& instance = NewInstance();
        instance.Setup("RATIO");
        instance.Layout();
        EXPECT_EQ(ReadInstance(instance).kRefFirst, row.refFirst);
        EXPECT_EQ(ReadInstance(instance).kRefSecond, row.refSecond);
    }
}

TEST_F(LayoutStep, StepTakesOutputsAndClearsTheRightHandSide) {
    auto& instance = NewInstance();
    instance.Setup("2");
    instance.Layout();
    Entries values = instance.Values();
    values[0] = 11; values[3] = 33; values[4] = 44; values[7] = 77;
    host::WriteAt(instance.MatrixHandle(), instance.Blocks().valuesOffset, values);
    instance.SetRhs({9, 9, 9});
    recorder.Clear();
    EXPECT_EQ(instance.Step(10, 5, 3), kStatusOk);
    const InstanceData data = ReadInstance(instance);
    EXPECT_EQ(data.omega1, 10.0);
    EXPECT_EQ(data.omega2, 5.0);
    EXPECT_EQ(data.m1, 3.0);
    EXPECT_EQ(data.m2, 6.0);
    EXPECT_EQ(instance.Values(), (Entries{11, -0.5, -2.0, 33, 44, 0, 0, 77}));
    EXPECT_EQ(instance.Rhs(), (std::array<double, 3>{0, 0, 0}));
    EXPECT_TRUE(recorder.queries.empty()); // a numeric K asks nothing
}

TEST_F(LayoutStep, NamedFactorIsReReadAtEveryStep) {
    double value = 2.0;
    ScriptQuantity(&value);
    auto& instance = NewInstance();
    instance.Setup("RATIO");
    instance.Layout();
    instance.Step(8, 4, 1);
    value = 4.0;
    instance.Step(8, 2, 1);
    EXPECT_EQ(instance.Values()[1], -0.25);
    EXPECT_EQ(instance.Values()[2], -4.0);
    EXPECT_EQ(ReadInstance(instance).m2, 4.0);
    EXPECT_EQ(instance.Value(5.0), 4.0);
    value = 0.0;
    instance.Step(8, 2, 1.5);
    EXPECT_EQ(instance.Value(5.0), 1.0);
    EXPECT_EQ(instance.Value(2.0), 1.5);
    EXPECT_EQ(instance.Values()[1], -1.0);
    EXPECT_EQ(instance.Values()[2], -1.0);
}

// Odd offsets are the host's right; the component reads and writes them
// byte-wise (UBSan would flag a misaligned double access).
TEST_F(LayoutStep, OddOffsetsAreHonoured) {
    host::BlockLayout layout;
    layout.vectorSize = 64;
    layout.variablesOffset = 3;
    layout.rhsOffset = 29;
    layout.matrixSize = 160;
    layout.columnsOffset = 1;
    layout.rowsOffset = 35;
    layout.valuesOffset = 69;
    auto& instance = NewInstance(layout);
    instance.Setup("2");
    instance.Layout();
    instance.SetRhs({1, 1, 1});
    instance.Step(10, 5, 3);
    EXPECT_EQ(instance.Rows(), (std::array<int32_t, 8>{0, 2, 1, 2, 0, 0, 1, 1}));
    EXPECT_EQ(instance.Values()[2], -2.0);
    EXPECT_EQ(instance.Rhs(), (std::array<double, 3>{0, 0, 0}));
    EXPECT_EQ(ReadInstance(instance).m2, 6.0);
}

// Whatever the host's offsets or a stale couplingStart say, nothing is
// written outside the host's blocks.
TEST_F(LayoutStep, NothingIsWrittenOutsideTheHostsBlocks) {
    struct Row {
        const char* what;
        host::BlockLayout layout;
        int32_t couplingStart;
    };
    host::BlockLayout shortMatrix;
    shortMatrix.matrixSize = 80; // the two rewritten values need 64 + 24 bytes
    host::BlockLayout rhsOutside;
    rhsOutside.rhsOffset = 40;
    host::BlockLayout variablesOutside;
    variablesOutside.variablesOffset = 30;
    const Row rows[] = {{"matrix too short", shortMatrix, 0},
                        {"rhs beyond the vector", rhsOutside, 0},
                        {"variables beyond the vector", variablesOutside, 0},
                        {"coupling start negative", {}, -1},
                        {"coupling start beyond the entries", {}, 6},
                        {"coupling start huge", {}, INT32_MAX}};
    for (const Row& row : rows) {
        auto& instance = NewInstance(row.layout);
        instance.Setup("2");
        instance.Layout();
        host::WriteAt(instance.InstanceHandle(), offsetof(InstanceData, couplingStart), row.couplingStart);
        recorder.Clear();
        EXPECT_EQ(instance.Call(kCallStep, nullptr, nullptr, nullptr), kStatusOk) << row.what;
        ASSERT_EQ(recorder.messages.size(), 1u) << row.what;
        EXPECT_EQ(recorder.messages[0].severity, 3) << row.what;
    }
}

TEST_F(LayoutStep, StepBeforeAnyLayoutStaysInsideTheBlocks) {
    auto& instance = NewInstance();
    instance.Setup("2");
    EXPECT_EQ(instance.Step(10, 5, 3), kStatusOk); // couplingStart 0 from the zeroed block
    EXPECT_EQ(instance.Values()[2], -2.0);
}

// A named K whose copy could not be made has nothing to ask the host about.
TEST_F(LayoutStep, NamedStateWithoutANameAsksNoNullName) {
    auto& instance = NewInstance();
    instance.Setup("RATIO");
    InstanceData data = ReadInstance(instance);
    instance.Release();
    data = ReadInstance(instance);
    ASSERT_EQ(data.kName, nullptr);
    ASSERT_EQ(data.kIsNumber, 0);
    recorder.Clear();
    instance.Layout();
    instance.Step(1, 1, 1);
    EXPECT_EQ(recorder.CountQueries(kQueryReference), 0u);
    EXPECT_EQ(recorder.CountQueries(kQueryValue), 0u);
    EXPECT_EQ(ReadInstance(instance).k, 1.0);
}

} // namespace
} // namespace dvx::test
