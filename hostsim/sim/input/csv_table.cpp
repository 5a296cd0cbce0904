#include "hostsim/sim/input/csv_table.h"

#include "hostsim/sim/base/error.h"
#include "hostsim/sim/base/numbers.h"
#include "hostsim/sim/input/text_file.h"
#include "hostsim/sim/input/waveform.h"

#include <charconv>
#include <cmath>
#include <string_view>
#include <system_error>

namespace dvx::sim {

namespace {

std::string_view Trim(std::string_view s) {
    const size_t first = s.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

// The cells of a line, each trimmed; a line without a comma is one cell.
std::vector<std::string_view> Cells(std::string_view line) {
    std::vector<std::string_view> cells;
    for (;;) {
        const size_t comma = line.find(',');
        cells.push_back(Trim(line.substr(0, comma)));
        if (comma == std::string_view::npos) return cells;
        line.remove_prefix(comma + 1);
    }
}

// A cell that is one finite number and nothing else, read the same way in
// every locale. A leading '+' is allowed, as spreadsheets write it.
enum class Cell { Number, Empty, NotANumber, NotFinite, OutOfRange };

Cell ReadNumber(std::string_view text, double* x) {
    if (text.empty()) return Cell::Empty;
    if (text.size() > 1 && text[0] == '+' && text[1] != '-' && text[1] != '+') text.remove_prefix(1);
    const char* end = text.data() + text.size();
    const auto r = std::from_chars(text.data(), end, *x);
    if (r.ec == std::errc::result_out_of_range && r.ptr == end) return Cell::OutOfRange;
    if (r.ec != std::errc() || r.ptr != end) return Cell::NotANumber;
    return std::isfinite(*x) ? Cell::Number : Cell::NotFinite;
}

// Lines of a text file without their line ends ("\n" or "\r\n") and, on
// the first line, without a UTF-8 byte order mark; counted from 1. The file
// is read whole, within the tool's limit, so that no path (a device, a line
// without end) can make a line grow without bound.
class LineReader {
public:
    explicit LineReader(const std::filesystem::path& file) : text_(ReadTextFile(file, "the CSV file")) {}

    size_t Number() const { return number_; }

    // The next line that holds more than spaces; false at the end.
    bool NextFilled(std::string& line) {
        while (at_ < text_.size()) {
            const size_t end = text_.find('\n', at_);
            const size_t stop = end == std::string::npos ? text_.size() : end;
            line.assign(text_, at_, stop - at_);
            at_ = stop + 1;
            if (++number_ == 1 && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (!Trim(line).empty()) return true;
        }
        return false;
    }

private:
    std::string text_;
    size_t at_ = 0;
    size_t number_ = 0;
};

class Failure {
public:
    explicit Failure(const CsvTable& table) : table_(table) {}

    [[noreturn]] void At(const std::string& what) const { throw SimError(table_.file.string() + ": " + what); }
    // `column` counts from 0; the message counts from 1 and adds the
    // header's name where there is one.
    [[noreturn]] void At(size_t line, size_t column, const std::string& what) const {
        std::string place = "line " + std::to_string(line) + ", column " + std::to_string(column + 1);
        if (column < table_.columns.size() && !table_.columns[column].empty())
            place += " (\"" + table_.columns[column] + "\")";
        At(place + ": " + what);
    }

private:
    const CsvTable& table_;
};

void ReadHeader(const std::string& line, size_t number, CsvTable& table, const Failure& fail) {
    for (std::string_view cell : Cells(line)) {
        if (cell.size() >= 2 && cell.front() == '"' && cell.back() == '"') cell = Trim(cell.substr(1, cell.size() - 2));
        table.columns.emplace_back(cell);
    }
    bool allNumbers = true;
    for (const std::string& name : table.columns) {
        double x = 0.0;
        allNumbers = allNumbers && ReadNumber(name, &x) == Cell::Number;
    }
    if (allNumbers)
        fail.At("line " + std::to_string(number) + ": no header: the first line holds numbers, not column names");
    for (size_t c = 0; c < table.columns.size(); ++c) {
        if (table.columns[c].empty()) fail.At(number, c, "the column name is empty");
        for (size_t earlier = 0; earlier < c; ++earlier)
            if (table.columns[earlier] == table.columns[c])
                fail.At(number, c, "the column name is also that of column " + std::to_string(earlier + 1));
    }
}

void ReadRow(const std::string& line, size_t number, CsvTable& table, const Failure& fail) {
    const std::vector<std::string_view> cells = Cells(line);
    const size_t width = table.columns.size();
    auto count = [](size_t n, const char* what) { return std::to_string(n) + " " + what + (n == 1 ? "" : "s"); };
    const std::string counts = "the row has " + count(cells.size(), "cell") + ", the header " + count(width, "column");
    if (cells.size() > width) fail.At(number, width, "beyond the header: " + counts);
    if (cells.size() < width) fail.At(number, cells.size(), "missing: " + counts);
    std::vector<double> row(width);
    for (size_t c = 0; c < width; ++c) {
        const Cell cell = ReadNumber(cells[c], &row[c]);
        if (cell == Cell::Number) continue;
        const std::string quoted = "\"" + std::string(cells[c]) + "\"";
        switch (cell) {
        case Cell::Number: break;
        case Cell::Empty: fail.At(number, c, "the cell is empty");
        case Cell::NotANumber: fail.At(number, c, quoted + " is not a number");
        case Cell::NotFinite: fail.At(number, c, quoted + " is not a finite number");
        case Cell::OutOfRange: fail.At(number, c, quoted + " lies beyond the range of a double");
        }
    }
    table.rows.push_back(std::move(row));
    table.lines.push_back(number);
}

} // namespace

void CheckTimes(const CsvTable& table) {
    const size_t time = table.TimeColumn();
    std::vector<double> times;
    for (size_t r = 0; r < table.rows.size(); ++r) {
        const double t = table.rows[r][time];
        const NextTime next = CheckNextTime(times, t);
        if (next == NextTime::Fine) {
            times.push_back(t);
            continue;
        }
        const std::string cell = table.file.string() + ": line " + std::to_string(table.lines[r]) + ", column " +
                                 std::to_string(time + 1) + " (\"" + table.columns[time] + "\"): the time " +
                                 ShortestText(t);
        if (next == NextTime::Decreases)
            throw SimError(cell + " lies before " + ShortestText(times.back()) + " of line " +
                           std::to_string(table.lines[r - 1]));
        throw SimError(cell + " appears a third time (a repeated time is a jump, which takes two rows)");
    }
}

size_t CsvTable::TimeColumn() const {
    const size_t time = Find("time");
    return time == std::string::npos ? 0 : time;
}

size_t CsvTable::Find(const std::string& name) const {
    for (size_t c = 0; c < columns.size(); ++c)
        if (columns[c] == name) return c;
    return std::string::npos;
}

CsvTable ReadCsvTable(const std::filesystem::path& file) {
    CsvTable table;
    table.file = file;
    const Failure fail(table);
    LineReader lines(file);
    std::string line;
    if (!lines.NextFilled(line)) fail.At("no header line: the file holds no text");
    const size_t headerLine = lines.Number();
    ReadHeader(line, headerLine, table, fail);
    while (lines.NextFilled(line)) ReadRow(line, lines.Number(), table, fail);
    if (table.rows.empty()) fail.At("no data row after the header on line " + std::to_string(headerLine));
    return table;
}

} // namespace dvx::sim
