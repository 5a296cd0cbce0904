// The tables of the host-interface document and the changelog's version, run
// against the real library and the build's project version.
#include "tests/doc_tables.h"
#include "tests/fixture.h"

#include <cstring>

namespace dvx::test {
namespace {

const char kHostInterface[] = "docs/host-interface.md";

class HostInterfaceDoc : public ComponentTest {};

TEST_F(HostInterfaceDoc, StartUpTableHoldsTheValuesOfTheExports) {
    ModelDescriptor descriptor{0xFFFF, 0xFFFF, 0xFFFF};
    ASSERT_EQ(lib().Init(&host::HostRecorder::Message, &host::HostRecorder::Query, &descriptor), 0);
    uint16_t fields[3];
    std::memcpy(fields, &descriptor, sizeof fields);
    const auto rows = DocTable(kHostInterface, "startup-table");
    ASSERT_EQ(rows.size(), 5u);
    for (const TableRow& row : rows) {
        ASSERT_EQ(row.size(), 2u);
        const double expected = NumberCell(row[1]);
        const std::string& what = row[0];
        if (what == "`GetVersionNumber()`") {
            EXPECT_EQ(lib().GetVersionNumber(), expected);
        } else if (what == "`UDCmodelOpt()`") {
            EXPECT_EQ(lib().ModelOptions(), expected);
        } else if (what.rfind("descriptor field at offset ", 0) == 0) {
            const size_t offset = static_cast<size_t>(NumberCell(what.substr(27, 1)));
            ASSERT_LT(offset / 2, 3u) << what;
            EXPECT_EQ(fields[offset / 2], expected) << what;
        } else {
            ADD_FAILURE() << "unknown row '" << what << "'";
        }
    }
}

TEST_F(HostInterfaceDoc, JacobianTableIsWhatLayoutAndAStepWrite) {
    auto& instance = NewInstance();
    instance.Setup("2");
    ASSERT_EQ(instance.Layout(), kStatusOk);
    const auto rows = instance.Rows();
    const auto columns = instance.Columns();
    const auto afterLayout = instance.Values();
    ASSERT_EQ(instance.Step(10, 5, 3), kStatusOk);
    const auto afterStep = instance.Values();

    const auto table = DocTable(kHostInterface, "jacobian-table");
    ASSERT_EQ(table.size(), size_t{kJacobianEntries});
    for (const TableRow& row : table) {
        ASSERT_EQ(row.size(), 5u);
        const auto position = static_cast<size_t>(NumberCell(row[0]));
        ASSERT_LT(position, size_t{kJacobianEntries});
        EXPECT_EQ(rows[position], NumberCell(row[1])) << "position " << position;
        EXPECT_EQ(columns[position], NumberCell(row[2])) << "position " << position;
        EXPECT_EQ(afterLayout[position], NumberCell(row[3])) << "position " << position;
        EXPECT_EQ(afterStep[position], NumberCell(row[4])) << "position " << position;
    }
}

TEST_F(HostInterfaceDoc, OutputsTableIsWhatCallType6ReadsAfterTheStep) {
    auto& instance = NewInstance();
    instance.Setup("2");
    instance.Layout();
    instance.Step(10, 5, 3);
    for (const TableRow& row : DocTable(kHostInterface, "outputs-table")) {
        ASSERT_EQ(row.size(), 3u);
        const double index = NumberCell(row[0]);
        EXPECT_EQ(instance.Lookup(CodeText(row[1])), index) << row[1];
        int32_t status = -1;
        EXPECT_EQ(instance.Value(index), NumberCell(row[2])) << row[1];
        instance.Value(index, &status);
        EXPECT_EQ(status, kStatusOk) << row[1];
    }
}

// The newest entry of the changelog is the version the build carries.
TEST(Changelog, NewestEntryIsTheProjectVersion) {
    const std::string text = ReadDocument("CHANGELOG.md");
    const size_t entry = text.find("\n## ");
    ASSERT_NE(entry, std::string::npos);
    const std::string heading = text.substr(entry + 4, text.find('\n', entry + 1) - entry - 4);
    EXPECT_EQ(heading.substr(0, heading.find(' ')), DVX_VERSION);
}

} // namespace
} // namespace dvx::test
