// A run compared with a reference result, a CSV in the tool's own format:
// every column the two share, at every output time that lies within the
// reference's time span, the reference interpolated linearly between its
// rows (a repeated time is a jump). The run's values are taken as its CSV
// prints them.
#pragma once

#include "hostsim/sim/input/csv_table.h"
#include "hostsim/sim/input/waveform.h"

#include <string>
#include <vector>

namespace dvx::sim {

struct ReferenceDeviation {
    std::string column;
    double largest = 0.0; // largest |result - reference|
    double at = 0.0;      // the time of the largest deviation [s]
    double range = 0.0;   // max - min of the reference column
    // The largest deviation relative to the column's range (to its largest
    // magnitude where the range is 0; absolute where that is 0 as well).
    double Relative() const;
};

class ReferenceComparison {
public:
    // Throws SimError naming the file and line where the times decrease or
    // appear a third time.
    ReferenceComparison(CsvTable table, const std::vector<std::string>& resultColumns);

    // The digits of the time as the run's CSV prints it (12 unless set).
    void SetTimeDigits(int digits) { timeDigits_ = digits; }
    // One output row of the run; row[0] is the time.
    void Add(const std::vector<double>& row);

    const CsvTable& Table() const { return table_; }
    const std::vector<ReferenceDeviation>& Deviations() const { return deviations_; }
    // For the plot: the reference's column for result column c, or npos.
    size_t ReferenceColumnOf(size_t resultColumn) const;
    size_t Samples() const { return samples_; }   // rows seen
    size_t Compared() const { return compared_; } // rows within the reference's span

private:
    CsvTable table_;
    std::vector<size_t> resultColumns_; // per deviation
    std::vector<size_t> referenceColumns_;
    std::vector<sim::Table> curves_;    // per deviation
    double first_ = 0.0, last_ = 0.0, slack_ = 0.0;
    std::vector<ReferenceDeviation> deviations_;
    size_t samples_ = 0, compared_ = 0;
    int timeDigits_ = 12;
};

} // namespace dvx::sim
