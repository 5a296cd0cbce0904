// Waveforms and run settings of the model file.
#include "hostsim/sim/csv_table.h"
#include "hostsim/sim/json_reader.h"
#include "hostsim/sim/model.h"

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

void CheckSettings(const Settings& s, const std::string& origin) {
    auto fail = [&](const std::string& what) { throw SimError(origin + what); };
    if (!std::isfinite(s.start) || !std::isfinite(s.stop)) fail("the start and stop times must be finite");
    if (!(s.step > 0.0) || !std::isfinite(s.step)) fail("the step must be a positive number");
    if (!(s.outputInterval > 0.0) || !std::isfinite(s.outputInterval))
        fail("the output interval must be a positive number");
    if (!(s.stop > s.start)) fail("the stop time must lie after the start time");
    if ((s.stop - s.start) / s.outputInterval > 1e7) fail("more than ten million output samples");
    if (s.method != Method::Ida && (s.stop - s.start) / s.step > 1e9) fail("more than a thousand million steps");
    if (!(s.rtol > 0.0) || !(s.rtol < 1.0)) fail("the relative tolerance must lie between 0 and 1");
    if (!(s.atol > 0.0) || !std::isfinite(s.atol)) fail("the absolute tolerance must be a positive number");
    if (!(s.maxStep >= 0.0) || !std::isfinite(s.maxStep)) fail("the largest step must be 0 (no limit) or positive");
}

const char* MethodName(Method method) {
    switch (method) {
    case Method::Ida: return "ida";
    case Method::Euler: return "euler";
    case Method::Bdf2: return "bdf2";
    }
    return "?";
}

bool ParseMethod(const std::string& text, Method* method) {
    if (text == "ida") *method = Method::Ida;
    else if (text == "euler") *method = Method::Euler;
    else if (text == "bdf2") *method = Method::Bdf2;
    else return false;
    return true;
}

} // namespace dvx::sim
