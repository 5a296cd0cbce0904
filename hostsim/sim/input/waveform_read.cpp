// Waveforms of the model file.
#include "hostsim/sim/input/waveform_read.h"

#include "hostsim/sim/input/csv_table.h"
#include "hostsim/sim/base/error.h"
#include "hostsim/sim/base/numbers.h"

#include <cmath>
#include <filesystem>

namespace dvx::sim {

namespace {

// {"type": "csv", "file": ..., "column": ...}: the column over the file's
// time column, piecewise linear like a table. A relative file name starts
// from the model file's folder, so that a model and its measurements move
// together.
Table ReadCsvWaveform(const JsonAt& at) {
    at.OnlyKeys({"type", "file", "column"});
    const JsonAt fileField = at.Field("file");
    const std::filesystem::path given(fileField.Text());
    if (given.empty()) fileField.Fail("the file name is empty");
    const JsonAt columnField = at.Field("column");
    const std::string name = columnField.Text();
    const std::filesystem::path file =
        given.is_absolute() ? given : std::filesystem::path(at.File()).parent_path() / given;
    CsvTable csv;
    try {
        csv = ReadCsvTable(file);
    } catch (const SimError& e) {
        at.Fail(e.what());
    }
    const std::string shown = file.string() + ": ";
    const size_t time = csv.TimeColumn();
    const size_t column = csv.Find(name);
    if (column == std::string::npos) {
        std::string known;
        for (const std::string& c : csv.columns) known += (known.empty() ? "" : ", ") + c;
        columnField.Fail(shown + "no column \"" + name + "\" (columns: " + known + ")");
    }
    if (column == time)
        columnField.Fail(shown + "\"" + name + "\" is the time column; name a column of values");
    try {
        CheckTimes(csv);
    } catch (const SimError& e) {
        at.Fail(e.what());
    }
    Table table;
    for (const std::vector<double>& row : csv.rows) {
        table.times.push_back(row[time]);
        table.values.push_back(row[column]);
    }
    return table;
}

} // namespace

// A waveform is a bare number (constant) or an object with a "type".
Waveform ReadWaveform(const JsonAt& at) {
    if (at.Value().is_number()) return Constant{at.Number()};
    const JsonAt typeField = at.Field("type");
    const std::string type = typeField.Text();
    if (type == "constant") {
        at.OnlyKeys({"type", "value"});
        return Constant{at.NumberField("value")};
    }
    if (type == "step") {
        at.OnlyKeys({"type", "before", "after", "time"});
        return Step{at.NumberField("before", 0.0), at.NumberField("after"), at.NumberField("time")};
    }
    if (type == "ramp") {
        at.OnlyKeys({"type", "from", "to", "start", "duration"});
        Ramp r{at.NumberField("from", 0.0), at.NumberField("to"), at.NumberField("start", 0.0),
               at.NumberField("duration")};
        if (r.duration < 0.0) at.Field("duration").Fail("must not be negative");
        return r;
    }
    if (type == "sine") {
        at.OnlyKeys({"type", "offset", "amplitude", "frequency", "phase"});
        return Sine{at.NumberField("offset", 0.0), at.NumberField("amplitude"), at.NumberField("frequency"),
                    at.NumberField("phase", 0.0)};
    }
    if (type == "table") {
        at.OnlyKeys({"type", "points"});
        const JsonAt points = at.Field("points");
        points.ExpectArray();
        if (points.Size() == 0) points.Fail("a table needs at least one point");
        Table table;
        for (size_t i = 0; i < points.Size(); ++i) {
            const JsonAt point = points.Element(i);
            point.ExpectArray();
            if (point.Size() != 2) point.Fail("a point is [time, value]");
            const double t = point.Element(0).Number();
            switch (CheckNextTime(table.times, t)) {
            case NextTime::Fine: break;
            case NextTime::Decreases:
                point.Element(0).Fail("the times of a table must not decrease (" + ShortestText(t) + " after " +
                                      ShortestText(table.times.back()) + ")");
            case NextTime::ThirdTime:
                point.Element(0).Fail("the time " + ShortestText(t) +
                                      " appears a third time (a time may appear twice in a table, as a jump)");
            }
            table.times.push_back(t);
            table.values.push_back(point.Element(1).Number());
        }
        return table;
    }
    if (type == "csv") return ReadCsvWaveform(at);
    typeField.Fail("unknown waveform type \"" + type + "\" (known: constant, step, ramp, sine, table, csv)");
}

} // namespace dvx::sim
