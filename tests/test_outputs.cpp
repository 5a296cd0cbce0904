// Call types 5, 6 and 7: output names to indices, indices to values, release.
#include "tests/fixture.h"
#include "tests/instance_record.h"

#include <cmath>

namespace dvx::test {
namespace {

class Outputs : public ComponentTest {};

TEST_F(Outputs, LookupIsExactAndCaseSensitive) {
    const struct {
        const char* name;
        double index;
    } rows[] = {{"M1", 1}, {"M2", 2}, {"OMEGA1", 3}, {"OMEGA2", 4}, {"K", 5}, {"k", 0}, {"omega2", 0},
                {"K ", 0}, {" K", 0}, {"", 0}, {"M", 0}, {"OMEGA", 0}, {"ROT1", 0}};
    auto& instance = NewInstance();
    for (const auto& row : rows) {
        int32_t status = -1;
        EXPECT_EQ(instance.Lookup(row.name, &status), row.index) << row.name;
        EXPECT_EQ(status, kStatusOk);
    }
    double out = -1;
    EXPECT_EQ(instance.Call(kCallOutputLookup, nullptr, nullptr, &out), kStatusOk);
    EXPECT_EQ(out, 0.0);
}

TEST_F(Outputs, ValuesByIndex) {
    const double nan = std::nan("");
    const struct {
        double index;
        double value;
        int32_t status;
    } rows[] = {{1.0, 3.0, 0},     {2.0, 6.0, 0},      {3.0, 10.0, 0},   {4.0, 5.0, 0},
                {5.0, 2.0, 0},     {5.9, 2.0, 0},      {65537.0, 3.0, 0}, {-65535.0, 3.0, 0},
                {0.99, 0.0, 28194}, {0.0, 0.0, 28194}, {6.0, 0.0, 28194}, {7.0, 0.0, 28194},
                {-1.0, 0.0, 28194}, {1e10, 0.0, 28194}, {nan, 0.0, 28194}, {HUGE_VAL, 0.0, 28194}};
    auto& instance = NewInstance();
    instance.Setup("2");
    instance.Layout();
    instance.Step(10, 5, 3);
    for (const auto& row : rows) {
        int32_t status = -1;
        EXPECT_EQ(instance.Value(row.index, &status), row.value) << row.index;
        EXPECT_EQ(status, row.status) << row.index;
    }
    double out = -1;
    EXPECT_EQ(instance.Call(kCallOutputValue, nullptr, nullptr, &out), kStatusBadOutputIndex);
    EXPECT_EQ(out, 0.0);
    double index = 1.0;
    EXPECT_EQ(instance.Call(kCallOutputValue, nullptr, &index, nullptr), kStatusOk);
}

TEST_F(Outputs, ReleaseFreesTheCopyOnce) {
    auto& named = NewInstance();
    named.Setup("RATIO");
    EXPECT_EQ(named.Release(), kStatusOk);
    EXPECT_EQ(ReadInstance(named).kName, nullptr);
    EXPECT_EQ(named.Release(), kStatusOk);
    auto& numeric = NewInstance();
    numeric.Setup("2");
    const InstanceData before = ReadInstance(numeric);
    EXPECT_EQ(numeric.Release(), kStatusOk);
    const InstanceData after = ReadInstance(numeric);
    EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0);
}

// One full life of a named instance, with K and the variables changing; the
// sanitizer build's leak check covers the name copy.
TEST_F(Outputs, FullInstanceLife) {
    double value = 2.0;
    recorder.onValue = [&value](const double*, double* out) { *out = value; };
    auto& instance = NewInstance();
    instance.Setup("RATIO");
    instance.Layout();
    for (int step = 1; step <= 200; ++step) {
        value = 1.0 + step * 0.01;
        const double omega2 = step * 0.5;
        instance.Step(value * omega2, omega2, -step);
        ASSERT_EQ(instance.Value(2.0), -step * value);
        ASSERT_EQ(instance.Value(3.0), value * omega2);
    }
    EXPECT_EQ(instance.Lookup("OMEGA1"), 3.0);
    instance.Setup("RATIO2"); // a second set-up of the same instance
    instance.Layout();
    instance.Step(1, 1, 1);
    EXPECT_EQ(instance.Release(), kStatusOk);
}

} // namespace
} // namespace dvx::test
