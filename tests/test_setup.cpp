// Call type 1: the parameter text becomes a numeric K or the name of a host
// quantity; the outputs are reset and the entry counts declared.
#include "tests/fixture.h"
#include "tests/instance_record.h"

#include <cmath>
#include <cstring>

namespace dvx::test {
namespace {

const char kTooMany[] = "Quorin1: Too many parameters in model definition!";

struct SetupRow {
    const char* text;
    uint8_t kIsNumber;
    double k;
    const char* name;  // expected kName copy, or null
    bool warned;       // the "Too many parameters" message
    const char* after; // the caller's text on return, NULs shown as '|'
};

const SetupRow kSetupRows[] = {
    {"2", 1, 2.0, nullptr, false, "2"},
    {"2.5k", 1, 2500.0, nullptr, false, "2.5k"},
    {"-4", 1, -4.0, nullptr, false, "-4"},
    {"0", 1, 1.0, nullptr, false, "0"},
    {"-0", 1, 1.0, nullptr, false, "-0"},
    {"-", 1, 1.0, nullptr, false, "-"},        // the number -0
    {"3E17", 1, 1e16, nullptr, false, "3E17"},
    {"-3E17", 1, -1e16, nullptr, false, "-3E17"},
    {"2,3", 1, 2.0, nullptr, true, "2|3"},
    {"2,5", 1, 2.0, nullptr, true, "2|5"},     // a comma separates, never a decimal mark here
    {"2,", 1, 2.0, nullptr, true, "2|"},
    {",2", 1, 1.0, nullptr, true, "|2"},
    {"2,3,4", 1, 2.0, nullptr, true, "2|3|4"},
    {"RATIO", 0, 1.0, "RATIO", false, "RATIO"},
    {" ratio x ", 0, 1.0, " ratio x ", false, " ratio x "},
    {"RATIO,7", 0, 1.0, "RATIO", true, "RATIO|7"},
    {"5x", 0, 1.0, "5x", false, "5x"},
    {"", 1, 1.0, nullptr, false, ""},
    {"   ", 0, 1.0, "   ", false, "   "},     // all blanks: not a number, kept as a name
};

class Setup : public ComponentTest {};

TEST_F(Setup, ParameterTextTable) {
    for (const SetupRow& row : kSetupRows) {
        auto& instance = NewInstance();
        recorder.Clear();
        const host::CallResult result = instance.Setup(row.text);
        EXPECT_EQ(result.status, kStatusOk) << row.text;
        EXPECT_EQ(result.text, row.after) << row.text;
        const InstanceData data = ReadInstance(instance);
        EXPECT_EQ(data.kIsNumber, row.kIsNumber) << row.text;
        EXPECT_EQ(data.k, row.k) << row.text;
        if (row.name == nullptr) {
            EXPECT_EQ(data.kName, nullptr) << row.text;
        } else {
            ASSERT_NE(data.kName, nullptr) << row.text;
            EXPECT_STREQ(data.kName, row.name) << row.text;
        }
        ASSERT_EQ(recorder.messages.size(), row.warned ? 1u : 0u) << row.text;
        if (row.warned) {
            EXPECT_EQ(recorder.messages[0].severity, 2);
            EXPECT_EQ(recorder.messages[0].text, kTooMany);
        }
        const InterfaceBlock block = instance.ReadInterface();
        EXPECT_EQ(block.countAt2, 1);
        EXPECT_EQ(block.jacobianEntries, 8);
        EXPECT_EQ(block.countAt6, 0);
    }
}

TEST_F(Setup, NullTextDeclaresTheCountsAndTakesTheDefault) {
    auto& instance = NewInstance();
    InterfaceBlock block = instance.ReadInterface();
    block.countAt2 = 77;
    block.jacobianEntries = 77;
    block.countAt6 = 77;
    instance.WriteInterface(block);
    EXPECT_EQ(instance.SetupNull(), kStatusOk);
    const InstanceData data = ReadInstance(instance);
    EXPECT_EQ(data.k, 1.0);
    EXPECT_EQ(data.kIsNumber, 1);
    EXPECT_EQ(data.kName, nullptr);
    EXPECT_TRUE(recorder.messages.empty());
    block = instance.ReadInterface();
    EXPECT_EQ(block.countAt2, 1);
    EXPECT_EQ(block.jacobianEntries, 8);
    EXPECT_EQ(block.countAt6, 0);
}

TEST_F(Setup, OutputsReadZeroAfterSetupAndKReadsTheSetupValue) {
    auto& instance = NewInstance();
    instance.Setup("2");
    instance.Layout();
    instance.Step(10, 5, 3);
    instance.Setup("3");
    int32_t status = -1;
    for (double index : {1.0, 2.0, 3.0, 4.0}) {
        EXPECT_EQ(instance.Value(index, &status), 0.0);
        EXPECT_EQ(status, kStatusOk);
    }
    EXPECT_EQ(instance.Value(5.0), 3.0);
}

// A text with more commas than a 16-bit counter holds still warns.
TEST_F(Setup, TooManyParametersIsReportedForAnyNumberOfCommas) {
    auto& instance = NewInstance();
    std::string text = "2" + std::string(65536, ',');
    instance.Setup(text);
    ASSERT_EQ(recorder.messages.size(), 1u);
    EXPECT_EQ(recorder.messages[0].text, kTooMany);
    EXPECT_EQ(ReadInstance(instance).k, 2.0);
}

// The host's initial block content is unknown: a non-null kName that the
// component did not allocate is never freed, and a repeated set-up frees the
// copy the component did make (the leak check of the sanitizer build would
// otherwise fail).
TEST_F(Setup, RepeatedSetupFreesOnlyItsOwnCopies) {
    auto& instance = NewInstance();
    InstanceData garbage = ReadInstance(instance);
    std::memset(&garbage, 0xA5, sizeof garbage);
    host::WriteAt(instance.InstanceHandle(), 0, garbage);
    instance.Setup("FIRST");
    instance.Setup("SECOND");
    EXPECT_STREQ(ReadInstance(instance).kName, "SECOND");
    instance.Setup("2");
    EXPECT_EQ(ReadInstance(instance).kName, nullptr);
    instance.Setup("THIRD");
}

TEST_F(Setup, ANameBufferCopiedIntoAnotherBlockIsFreedOnce) {
    auto& first = NewInstance();
    auto& second = NewInstance();
    first.Setup("SHARED");
    host::WriteAt(second.InstanceHandle(), 0, ReadInstance(first));
    EXPECT_EQ(first.Release(), kStatusOk);
    EXPECT_EQ(second.Release(), kStatusOk); // the same pointer: not freed again
    EXPECT_EQ(ReadInstance(second).kName, nullptr);
}

} // namespace
} // namespace dvx::test
