// Tables of numbers from CSV files: measured signals that a waveform
// follows, and results to compare a run with.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

namespace dvx::sim {

// A table of numbers read from a CSV file: a header line of column names,
// then rows of numbers, comma separated.
struct CsvTable {
    std::filesystem::path file;
    std::vector<std::string> columns;          // header names, trimmed, surrounding double quotes removed
    std::vector<std::vector<double>> rows;     // rows[r][c], every row has columns.size() cells
    std::vector<size_t> lines;                 // the file's line number (1-based) of each row
    // Index of the column named "time", or 0 (the first column) when there is none.
    size_t TimeColumn() const;
    // Index of the column `name`, or npos.
    size_t Find(const std::string& name) const;
};

// Reads `file`; throws SimError naming the file, the line and the column
// (number and header name) of the first problem: the file cannot be opened,
// no header, a row with more or fewer cells than the header, a cell that is
// not a finite number, no data row, an empty or repeated column name.
CsvTable ReadCsvTable(const std::filesystem::path& file);

// The times of a table must not decrease, and no time may appear more than
// twice: twice is a jump (the earlier row's value until it, the later row's
// from it on), a third time would say nothing more. Throws SimError naming
// the file, the line and the time column otherwise.
void CheckTimes(const CsvTable& table);

} // namespace dvx::sim
