// Every element type carries its own documentation: the model-format
// document has one row per registered type whose keys and equation are the
// type's, and its outputs table names what each unit outputs. A new type
// that is missing from the document, or a row of a type that is gone, fails
// here.
#include "hostsim/sim/model/model.h"
#include "tests/doc_tables.h"
#include "tests/element_examples.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

namespace dvx::sim {
namespace {

using test::DocTable;
using test::TableRow;

const char kModelFormat[] = "docs/model-format.md";

// The names in backticks of a cell: "`damper`, `spring`" gives both.
std::vector<std::string> Quoted(const std::string& cell) {
    std::vector<std::string> names;
    for (std::size_t open = cell.find('`'); open != std::string::npos;) {
        const std::size_t close = cell.find('`', open + 1);
        if (close == std::string::npos)
            break;
        if (close > open + 1)
            names.push_back(cell.substr(open + 1, close - open - 1));
        open = cell.find('`', close + 1);
    }
    return names;
}

TEST(ElementDocs, TheElementTableIsEveryTypesOwnDocumentation) {
    std::map<std::string, TableRow> rows;
    for (const TableRow& row : DocTable(kModelFormat, "element-types")) {
        ASSERT_EQ(row.size(), 3u) << row.front();
        const std::vector<std::string> type = Quoted(row[0]);
        ASSERT_EQ(type.size(), 1u) << row[0];
        EXPECT_TRUE(rows.emplace(type[0], row).second) << type[0] << " has two rows";
    }
    std::set<std::string> registered;
    for (const ElementTypeInfo& type : ElementTypes()) {
        registered.insert(type.name);
        auto row = rows.find(type.name);
        if (row == rows.end()) {
            ADD_FAILURE() << "the element type " << type.name << " has no row in " << kModelFormat << "; it reads\n| `"
                          << type.name << "` | " << type.doc->keys << " | " << type.doc->equation << " |";
            continue;
        }
        EXPECT_EQ(row->second[1], type.doc->keys) << type.name << ": keys";
        EXPECT_EQ(row->second[2], type.doc->equation) << type.name << ": equation";
    }
    for (const auto& [name, row] : rows) EXPECT_EQ(registered.count(name), 1u) << name << " is no element type";
}

TEST(ElementDocs, TheOutputsTableNamesWhatEachUnitOutputs) {
    std::map<std::string, std::vector<std::string>> documented;
    for (const TableRow& row : DocTable(kModelFormat, "element-outputs")) {
        ASSERT_EQ(row.size(), 2u) << row.front();
        for (const std::string& type : Quoted(row[0]))
            EXPECT_TRUE(documented.emplace(type, Quoted(row[1])).second) << type << " is in two rows";
    }
    const Model model = ParseModel(testing::EveryElementModel(), "every-element.json");
    for (const ElementTypeInfo& type : ElementTypes()) {
        ASSERT_FALSE(type.doc->examples.empty()) << type.name << " has no example";
        const std::string name = testing::ExampleName(type.name, 0);
        std::vector<std::string> outputs;
        for (const ElementRecord& e : model.elements)
            if (e.name == name) e.unit->OutputNames(outputs);
        auto row = documented.find(type.name);
        ASSERT_NE(row, documented.end()) << "the element type " << type.name << " is in no row of the outputs table";
        EXPECT_EQ(row->second, outputs) << type.name;
        documented.erase(row);
    }
    for (const auto& [type, outputs] : documented) ADD_FAILURE() << type << " is no element type";
}

} // namespace
} // namespace dvx::sim
