#include "hostsim/sim/input/waveform.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace dvx::sim {

namespace {

double At(const Constant& c, double) { return c.value; }

double At(const Step& s, double t) { return t < s.time ? s.before : s.after; }

double At(const Ramp& r, double t) {
    // A ramp of no duration is a step at its start, whose value there is
    // the one after it, as everywhere else.
    if (t < r.start || (t == r.start && r.duration > 0.0)) return r.from;
    if (t >= r.start + r.duration) return r.to;
    return r.from + (r.to - r.from) * ((t - r.start) / r.duration);
}

double At(const Sine& s, double t) {
    return s.offset + s.amplitude * std::sin(2.0 * std::numbers::pi * s.frequency * t + s.phase);
}

double At(const Table& table, double t) {
    double slope = 0.0;
    return TableAt(table, t, &slope);
}

void Corners(const Constant&, std::vector<double>&) {}
void Corners(const Sine&, std::vector<double>&) {}
void Corners(const Step& s, std::vector<double>& out) { out.push_back(s.time); }
void Corners(const Ramp& r, std::vector<double>& out) {
    out.push_back(r.start);
    out.push_back(r.start + r.duration);
}
void Corners(const Table& table, std::vector<double>& out) {
    out.insert(out.end(), table.times.begin(), table.times.end());
}

double Lowest(const Constant& c) { return c.value; }
double Lowest(const Step& s) { return std::min(s.before, s.after); }
double Lowest(const Ramp& r) { return std::min(r.from, r.to); }
double Lowest(const Sine& s) { return s.offset - std::abs(s.amplitude); }
// Every value of a table is taken at some time, or (the earlier value of a
// jump) approached arbitrarily closely just before it: the least of them is
// the least the table takes.
double Lowest(const Table& table) { return *std::min_element(table.values.begin(), table.values.end()); }

double Largest(const Constant& c) { return std::abs(c.value); }
double Largest(const Step& s) { return std::max(std::abs(s.before), std::abs(s.after)); }
double Largest(const Ramp& r) { return std::max(std::abs(r.from), std::abs(r.to)); }
double Largest(const Sine& s) { return std::abs(s.offset) + std::abs(s.amplitude); }
double Largest(const Table& table) {
    double largest = 0.0;
    for (double v : table.values) largest = std::max(largest, std::abs(v));
    return largest;
}

} // namespace

NextTime CheckNextTime(const std::vector<double>& times, double t) {
    const size_t n = times.size();
    if (n > 0 && t < times[n - 1]) return NextTime::Decreases;
    if (n > 1 && t == times[n - 1] && t == times[n - 2]) return NextTime::ThirdTime;
    return NextTime::Fine;
}

double TableAt(const Table& table, double x, double* slope) {
    const std::vector<double>& xs = table.times;
    const std::vector<double>& ys = table.values;
    *slope = 0.0;
    if (x < xs.front()) return ys.front();
    if (x >= xs.back()) return ys.back();
    // The first point after x: x lies in [xs[i-1], xs[i]) with xs[i-1] < xs[i],
    // so at a repeated time (a jump) the segment is the one that starts with
    // the later value, and just before it the one that ends with the earlier.
    const size_t i = static_cast<size_t>(std::upper_bound(xs.begin(), xs.end(), x) - xs.begin());
    *slope = (ys[i] - ys[i - 1]) / (xs[i] - xs[i - 1]);
    return ys[i - 1] + (ys[i] - ys[i - 1]) * ((x - xs[i - 1]) / (xs[i] - xs[i - 1]));
}

void AddBreakpoints(const Waveform& wave, double from, double to, std::vector<double>& times) {
    std::vector<double> corners;
    std::visit([&corners](const auto& w) { Corners(w, corners); }, wave);
    for (double c : corners)
        if (c > from && c <= to) times.push_back(c);
}

double LowestValue(const Waveform& wave) {
    return std::visit([](const auto& w) { return Lowest(w); }, wave);
}

double LargestMagnitude(const Waveform& wave) {
    return std::visit([](const auto& w) { return Largest(w); }, wave);
}

double Evaluate(const Waveform& wave, double t) {
    return std::visit([t](const auto& w) { return At(w, t); }, wave);
}

} // namespace dvx::sim
