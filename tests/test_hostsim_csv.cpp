// Tables read from CSV files and the csv waveform made from them: what a
// good file becomes, the file, line and column of every fault, and a run
// driven by a measured torque that matches the same points given as a table.
#include "hostsim/kit/library.h"
#include "hostsim/sim/input/csv_table.h"
#include "hostsim/sim/run.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace dvx::sim {
namespace {

namespace fs = std::filesystem;

class CsvFiles : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("dvx-csv-" + std::string(::testing::UnitTest::GetInstance()
                                                                           ->current_test_info()
                                                                           ->name()));
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    fs::path Write(const std::string& name, const std::string& text) const {
        const fs::path path = dir / name;
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }

    fs::path dir;
};

struct BadFile {
    const char* what;
    const char* text; // null: no file at all
    const char* message; // after "FILE: "
};

TEST_F(CsvFiles, EachFaultNamesTheFileTheLineAndTheColumn) {
    const BadFile cases[] = {
        {"no file", nullptr, "cannot open the CSV file"},
        {"empty", "", "no header line: the file holds no text"},
        {"numbers for a header", "0,1\n1,2\n", "line 1: no header: the first line holds numbers, not column names"},
        {"empty column name", "time,,torque\n0,1,2\n", "line 1, column 2: the column name is empty"},
        {"repeated column name", "time, a ,\"a\"\n0,1,2\n",
         "line 1, column 3 (\"a\"): the column name is also that of column 2"},
        {"cell too many", "time,torque\n0,1\n\n1,2,3\n",
         "line 4, column 3: beyond the header: the row has 3 cells, the header 2 columns"},
        {"cell missing", "time,torque,speed\n0,1,2\n1,2\n",
         "line 3, column 3 (\"speed\"): missing: the row has 2 cells, the header 3 columns"},
        {"text", "time,torque\n0,1\n1,abc\n", "line 3, column 2 (\"torque\"): \"abc\" is not a number"},
        {"number and more", "time,torque\n0,1.5 Nm\n", "line 2, column 2 (\"torque\"): \"1.5 Nm\" is not a number"},
        {"empty cell", "time,torque\n0, \n", "line 2, column 2 (\"torque\"): the cell is empty"},
        {"not finite", "time,torque\n0,1\nnan,2\n", "line 3, column 1 (\"time\"): \"nan\" is not a finite number"},
        {"no data row", "time,torque\r\n\r\n", "no data row after the header on line 1"},
        {"lines counted past a mark and CRLF", "\xEF\xBB\xBFtime,torque\r\n\r\n0,1\r\n1,x\r\n",
         "line 4, column 2 (\"torque\"): \"x\" is not a number"},
    };
    for (const BadFile& c : cases) {
        const fs::path file = c.text ? Write("bad.csv", c.text) : dir / "none.csv";
        try {
            ReadCsvTable(file);
            ADD_FAILURE() << c.what << ": no error";
        } catch (const SimError& e) {
            EXPECT_EQ(std::string(e.what()), file.string() + ": " + c.message) << c.what;
        }
    }
}

TEST_F(CsvFiles, GoodFileWithMarkCrlfBlankLinesAndTimeInTheMiddle) {
    const fs::path file = Write("good.csv", "\xEF\xBB\xBF\"torque\" , time ,speed\r\n"
                                            "\r\n"
                                            " 1.5, 0, -2\r\n"
                                            "2,0.5,+3\r\n"
                                            "  \t \r\n"
                                            "4,0.5,1e-3\r\n"
                                            "-0.25,1,0");
    const CsvTable t = ReadCsvTable(file);
    EXPECT_EQ(t.file, file);
    EXPECT_EQ(t.columns, (std::vector<std::string>{"torque", "time", "speed"}));
    EXPECT_EQ(t.TimeColumn(), 1u);
    EXPECT_EQ(t.Find("speed"), 2u);
    EXPECT_EQ(t.Find("Speed"), std::string::npos);
    const std::vector<std::vector<double>> rows{{1.5, 0, -2}, {2, 0.5, 3}, {4, 0.5, 1e-3}, {-0.25, 1, 0}};
    EXPECT_EQ(t.rows, rows);
    EXPECT_EQ(t.lines, (std::vector<size_t>{3, 4, 6, 7}));
    EXPECT_EQ(ReadCsvTable(Write("untimed.csv", "a,b\n1,2\n")).TimeColumn(), 0u);
}

// A model whose quantity "T" follows `value`, written beside the CSV files.
std::string QuantityModel(const std::string& value) {
    return R"({"nodes": ["a"], "elements": [{"type": "inertia", "node": "a", "J": 1}],
               "quantities": [{"name": "T", "value": )" +
           value + R"(}], "instances": []})";
}

TEST_F(CsvFiles, WaveformFollowsItsColumnOverTheTimeColumn) {
    Write("measured.csv", "torque,time,speed\n1,0,5\n3,0.5,6\n-2,0.5,7\n0,2,8\n");
    const fs::path model = dir / "model.json";
    const Model m = ParseModel(QuantityModel(R"({"type": "csv", "file": "measured.csv", "column": "torque"})"), model);
    const Table& table = std::get<Table>(m.quantities[0].wave);
    EXPECT_EQ(table.times, (std::vector<double>{0, 0.5, 0.5, 2}));
    EXPECT_EQ(table.values, (std::vector<double>{1, 3, -2, 0}));
    // An absolute file name is taken as it stands, wherever the model lies.
    const std::string absolute = nlohmann::json((dir / "measured.csv").string()).dump();
    const Model elsewhere = ParseModel(
        QuantityModel(R"({"type": "csv", "file": )" + absolute + R"(, "column": "speed"})"), "other/model.json");
    EXPECT_EQ(std::get<Table>(elsewhere.quantities[0].wave).values, (std::vector<double>{5, 6, 7, 8}));
}

struct BadWave {
    const char* what;
    const char* csv;
    const char* value;   // the waveform
    const char* place;   // the JSON path in the model file
    const char* message; // after "CSV FILE: "
};

TEST_F(CsvFiles, WaveformFaultsNameTheModelPlaceAndTheCsvCell) {
    const BadWave cases[] = {
        {"decreasing time", "time,torque\n0,1\n0.6,2\n\n0.5,3\n", R"("torque")", "/quantities/0/value",
         "line 5, column 1 (\"time\"): the time 0.5 lies before 0.6 of line 3"},
        {"a time three times", "torque,time\n1,0\n2,0.6\n3,0.6\n4,0.6\n", R"("torque")", "/quantities/0/value",
         "line 5, column 2 (\"time\"): the time 0.6 appears a third time (a repeated time is a jump, which takes "
         "two rows)"},
        {"missing column", "time,torque,speed\n0,1,2\n", R"("torqe")", "/quantities/0/value/column",
         "no column \"torqe\" (columns: time, torque, speed)"},
        {"the time column", "time,torque\n0,1\n", R"("time")", "/quantities/0/value/column",
         "\"time\" is the time column; name a column of values"},
        {"a fault of the file", "time,torque\n0,1\n1,abc\n", R"("torque")", "/quantities/0/value",
         "line 3, column 2 (\"torque\"): \"abc\" is not a number"},
    };
    const fs::path model = dir / "model.json";
    const fs::path csv = dir / "m.csv";
    for (const BadWave& c : cases) {
        Write("m.csv", c.csv);
        try {
            ParseModel(QuantityModel(std::string(R"({"type": "csv", "file": "m.csv", "column": )") + c.value + "}"),
                       model);
            ADD_FAILURE() << c.what << ": no error";
        } catch (const SimError& e) {
            EXPECT_EQ(std::string(e.what()), model.string() + ": " + c.place + ": " + csv.string() + ": " + c.message)
                << c.what;
        }
    }
}

// A drive torque with a ramp, a jump at 0.2 (twice the time) and a point off
// the output grid, once from a CSV file and once as a table of the same
// numbers.
const char* const kPoints[][2] = {{"0", "0"},      {"0.05", "1.5"},    {"0.2", "2"},
                                  {"0.2", "-1.25"}, {"0.3337", "0.5"}, {"0.45", "0.5"}};

std::string DriveModel(const std::string& torque) {
    return R"({"simulation": {"stop": 0.5, "step": 0.001, "output_interval": 0.01},
      "nodes": ["motor", "load"],
      "elements": [
        {"type": "torque_source", "node": "motor", "torque": )" +
           torque + R"(},
        {"type": "inertia", "node": "motor", "J": 0.01},
        {"type": "inertia", "node": "load", "J": 0.5},
        {"type": "damper", "a": "load", "b": "ground", "d": 0.2}],
      "instances": [{"name": "gear", "parameters": "3", "ROT1": "motor", "ROT2": "load"}]})";
}

TEST_F(CsvFiles, MeasuredTorqueRunsExactlyAsTheSameTable) {
    std::string csv = "time,torque\n", points;
    for (const auto& p : kPoints) {
        csv += std::string(p[0]) + "," + p[1] + "\n";
        points += (points.empty() ? "[" : ", [") + std::string(p[0]) + ", " + p[1] + "]";
    }
    Write("drive.csv", csv);
    const fs::path fromCsv =
        Write("csv.json", DriveModel(R"({"type": "csv", "file": "drive.csv", "column": "torque"})"));
    const fs::path fromTable = Write("table.json", DriveModel(R"({"type": "table", "points": [)" + points + "]}"));
    const fs::path constant = Write("constant.json", DriveModel("1"));
    for (Method method : {Method::Ida, Method::Bdf2}) {
        auto samples = [method](const fs::path& model) {
            RunOptions o;
            o.model = model;
            o.library = host::LibraryBesideProgram();
            o.method = method;
            std::ostringstream log;
            return RunSimulation(o, log).samples;
        };
        const std::vector<std::vector<double>> measured = samples(fromCsv);
        ASSERT_EQ(measured.size(), 51u) << MethodName(method);
        EXPECT_EQ(measured, samples(fromTable)) << MethodName(method);
        EXPECT_NE(measured, samples(constant)) << MethodName(method) << ": the torque made no difference";
    }
}

} // namespace
} // namespace dvx::sim
