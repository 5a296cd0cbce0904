// The tables of the user guide, run row by row against the real library: what
// the guide promises about K, the catalogue, the messages and the statuses is
// what the library does.
#include "tests/doc_tables.h"
#include "tests/instance_record.h"
#include "tests/fixture.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <set>
#include <utility>

namespace dvx::test {
namespace {

const char kGuide[] = "docs/guide.md";
const char kTooMany[] = "Quorin1: Too many parameters in model definition!";

class Guide : public ComponentTest {
protected:
    // Sets an instance up with the text of a row and checks the K it yields:
    // a number (within a few rounding steps of the guide's decimal) or, for
    // "name", the text kept as the name of a host quantity.
    void ExpectFactor(const std::string& text, const std::string& expected, const std::string& where) {
        auto& instance = NewInstance();
        instance.Setup(text);
        const InstanceData data = ReadInstance(instance);
        if (expected == "name") {
            EXPECT_EQ(data.kIsNumber, 0) << where;
            EXPECT_EQ(data.k, 1.0) << where;
            ASSERT_NE(data.kName, nullptr) << where;
            // The name is the text up to the first comma, exactly.
            EXPECT_EQ(std::string(data.kName), text.substr(0, text.find(','))) << where;
        } else {
            const double k = NumberCell(expected);
            EXPECT_EQ(data.kIsNumber, 1) << where;
            EXPECT_EQ(data.kName, nullptr) << where;
            EXPECT_NEAR(data.k, k, std::fabs(k) * 1e-15) << where;
        }
    }
};

TEST_F(Guide, NumberTableRowsAreWhatSetUpMakesOfThem) {
    const auto rows = DocTable(kGuide, "number-table");
    EXPECT_GE(rows.size(), 20u);
    for (const TableRow& row : rows) {
        ASSERT_EQ(row.size(), 3u) << row[0];
        const std::string text = CodeText(row[0]);
        recorder.Clear();
        ExpectFactor(text, row[1], "number table: '" + text + "'");
        EXPECT_TRUE(recorder.messages.empty()) << text;
    }
}

TEST_F(Guide, CommaTableRowsGiveTheirFactorAndWarning) {
    for (const TableRow& row : DocTable(kGuide, "comma-table")) {
        ASSERT_EQ(row.size(), 3u) << row[0];
        const std::string text = CodeText(row[0]);
        recorder.Clear();
        ExpectFactor(text, row[1], "comma table: '" + text + "'");
        ASSERT_TRUE(row[2] == "yes" || row[2] == "no") << row[2];
        const size_t expected = row[2] == "yes" ? 1 : 0;
        ASSERT_EQ(recorder.messages.size(), expected) << text;
        if (expected == 1) {
            EXPECT_EQ(recorder.messages[0].severity, kSeverityWarning);
            EXPECT_EQ(recorder.messages[0].text, kTooMany);
        }
    }
}

// Rows: name, kind ("node (`NATURE`)", "parameter, default `TEXT`" or
// "output N"), meaning; in the order of the catalogue.
TEST_F(Guide, CatalogueTableIsTheLibrarysCatalogueInOrder) {
    const auto rows = DocTable(kGuide, "catalogue-table");
    ASSERT_EQ(rows.size(), size_t{kCatalogueEntries});
    auto& instance = NewInstance();
    instance.Setup("2");
    for (int32_t index = 0; index < kCatalogueEntries; ++index) {
        const TableRow& row = rows[static_cast<size_t>(index)];
        ASSERT_EQ(row.size(), 3u);
        const NodeInfo* info = lib().ListNodeInfo(index);
        ASSERT_NE(info, nullptr);
        EXPECT_EQ(CodeText(row[0]), info->name) << "entry " << index;
        const std::string& kind = row[1];
        if (kind.rfind("node (", 0) == 0) {
            EXPECT_EQ(info->kind, kKindNode) << info->name;
            EXPECT_EQ(CodeText(kind.substr(6, kind.size() - 7)), info->nature);
        } else if (kind.rfind("parameter, default ", 0) == 0) {
            EXPECT_EQ(info->kind, kKindParameter) << info->name;
            EXPECT_EQ(CodeText(kind.substr(19)), info->defaultValue);
        } else if (kind.rfind("output ", 0) == 0) {
            EXPECT_EQ(info->kind, kKindOutput) << info->name;
            EXPECT_EQ(instance.Lookup(info->name), NumberCell(kind.substr(7))) << info->name;
        } else {
            ADD_FAILURE() << "unknown kind '" << kind << "'";
        }
    }
    EXPECT_EQ(lib().ListNodeInfo(kCatalogueEntries), nullptr);
}

using Message = std::pair<int32_t, std::string>;

// Every message the library can send, each brought about the way a host
// would bring it about, for an instance named gear1.
class GuideMessages : public Guide {
protected:
    std::set<Message> Collect() {
        std::set<Message> seen;
        auto take = [&] {
            for (const auto& m : recorder.messages) seen.insert({m.severity, m.text});
            recorder.Clear();
        };
        recorder.onService = [](char* buffer, const HostServiceRequest&, intptr_t size) {
            std::snprintf(buffer, static_cast<size_t>(size), "gear1");
            return 0;
        };
        NewInstance().Setup("2,3");
        take();

        auto& declared = NewInstance();
        declared.Setup("2");
        InterfaceBlock block = declared.ReadInterface();
        block.jacobianEntries = 10;
        declared.WriteInterface(block);
        declared.Layout();
        take();

        host::BlockLayout smallMatrix;
        smallMatrix.matrixSize -= 1;
        auto& cramped = NewInstance(smallMatrix);
        cramped.Setup("2");
        cramped.Layout();
        take();

        host::BlockLayout smallVector;
        smallVector.vectorSize -= 1;
        auto& tight = NewInstance(smallVector);
        tight.Setup("2");
        tight.Layout();
        tight.Step(1, 1, 1);
        take();

        auto& unnamed = NewInstance();
        unnamed.Setup("2");
        unnamed.Layout(); // the name arrives once
        recorder.onService = [](char*, const HostServiceRequest&, intptr_t) { return 1; };
        unnamed.Layout();
        take();
        return seen;
    }
};

TEST_F(GuideMessages, MessageTableListsExactlyTheMessagesTheLibrarySends) {
    std::set<Message> seen = Collect();
    // Running out of memory takes the test build of the library.
    {
        auto& faulty = Library("DolvanexFaulty");
        ModelDescriptor descriptor{};
        faulty.Init(&host::HostRecorder::Message, &host::HostRecorder::Query, &descriptor);
        ASSERT_TRUE(faulty.HasExport("DvxFailAllocations"));
        const auto fail = [&](int32_t skip, int32_t count) {
            const int32_t arguments[] = {skip, count};
            faulty.CallExport("DvxFailAllocations", arguments);
        };
        host::HostInstance instance(faulty);
        fail(0, 100);
        instance.Setup("RATIO");
        fail(0, 0);
        instance.Release();
        for (const auto& m : recorder.messages) seen.insert({m.severity, m.text});
    }
    std::set<Message> documented;
    for (const TableRow& row : DocTable(kGuide, "message-table")) {
        ASSERT_EQ(row.size(), 4u) << row[1];
        documented.insert({static_cast<int32_t>(NumberCell(row[0])), Unescape(CodeText(row[1]))});
    }
    for (const Message& m : seen) EXPECT_TRUE(documented.count(m)) << "not in the guide: " << m.first << " " << m.second;
    for (const Message& m : documented) EXPECT_TRUE(seen.count(m)) << "not sent: " << m.first << " " << m.second;
}

TEST_F(Guide, StatusTableListsEachStatusAndItsCause) {
    std::set<int32_t> seen;
    seen.insert(NewInstance().Setup("2").status);
    auto& missing = NewInstance();
    missing.callInterfaceHandle = 0;
    seen.insert(missing.Setup("2").status);
    host::BlockLayout small;
    small.instanceSize -= 1;
    seen.insert(NewInstance(small).Setup("2").status);
    auto& valued = NewInstance();
    valued.Setup("2");
    int32_t status = 0;
    valued.Value(6.0, &status);
    seen.insert(status);

    std::set<int32_t> documented;
    for (const TableRow& row : DocTable(kGuide, "status-table")) documented.insert(static_cast<int32_t>(NumberCell(row[0])));
    EXPECT_EQ(documented, seen);
    EXPECT_EQ(documented, (std::set<int32_t>{kStatusOk, kStatusMissingHandle, kStatusLockFailed, kStatusBadOutputIndex}));
}

} // namespace
} // namespace dvx::test
