#include "hostsim/sim/output/reference.h"

#include "hostsim/sim/base/error.h"
#include "hostsim/sim/base/numbers.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace dvx::sim {

namespace {

// A value as the tool's CSV holds it (12 significant digits): a run compared
// with its own CSV then deviates by exactly nothing.
double AsPrinted(double value, int digits = 12) {
    if (!std::isfinite(value)) return value;
    const std::string text = FormatNumber(value, digits);
    double printed = value;
    std::from_chars(text.data(), text.data() + text.size(), printed);
    return printed;
}

} // namespace

double ReferenceDeviation::Relative() const {
    if (range > 0.0) return largest / range;
    return largest;
}

ReferenceComparison::ReferenceComparison(CsvTable table, const std::vector<std::string>& resultColumns)
    : table_(std::move(table)) {
    const size_t time = table_.TimeColumn();
    CheckTimes(table_);
    first_ = table_.rows.front()[time];
    last_ = table_.rows.back()[time];
    slack_ = 1e-9 * std::max(1.0, std::abs(last_ - first_));
    for (size_t c = 1; c < resultColumns.size(); ++c) {
        const size_t ref = table_.Find(resultColumns[c]);
        if (ref == std::string::npos || ref == time) continue;
        sim::Table curve;
        double lo = table_.rows.front()[ref], hi = lo;
        for (const std::vector<double>& row : table_.rows) {
            curve.times.push_back(row[time]);
            curve.values.push_back(row[ref]);
            lo = std::min(lo, row[ref]);
            hi = std::max(hi, row[ref]);
        }
        ReferenceDeviation d;
        d.column = resultColumns[c];
        d.range = hi - lo;
        if (d.range == 0.0) d.range = std::max(std::abs(lo), std::abs(hi));
        resultColumns_.push_back(c);
        referenceColumns_.push_back(ref);
        curves_.push_back(std::move(curve));
        deviations_.push_back(d);
    }
}

void ReferenceComparison::Add(const std::vector<double>& row) {
    ++samples_;
    const double t = AsPrinted(row[0], timeDigits_);
    if (t < first_ - slack_ || t > last_ + slack_) return;
    ++compared_;
    for (size_t k = 0; k < deviations_.size(); ++k) {
        const double deviation = std::abs(AsPrinted(row[resultColumns_[k]]) - Evaluate(curves_[k], t));
        ReferenceDeviation& d = deviations_[k];
        // A NaN in the result is the largest deviation there is.
        if (deviation > d.largest || (std::isnan(deviation) && !std::isnan(d.largest))) {
            d.largest = deviation;
            d.at = t;
        }
    }
}

size_t ReferenceComparison::ReferenceColumnOf(size_t resultColumn) const {
    for (size_t k = 0; k < resultColumns_.size(); ++k)
        if (resultColumns_[k] == resultColumn) return referenceColumns_[k];
    return std::string::npos;
}

} // namespace dvx::sim
