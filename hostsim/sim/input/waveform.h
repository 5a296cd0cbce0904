// Signals of time: the inputs of sources and the host quantities that a
// component's parameter text may name.
#pragma once

#include <variant>
#include <vector>

namespace dvx::sim {

struct Constant {
    double value = 0.0;
};

// `before` until `time`, `after` from `time` on (the value at `time` itself).
struct Step {
    double before = 0.0;
    double after = 0.0;
    double time = 0.0;
};

// `from` until `start`, then a straight line to `to` at `start + duration`,
// held afterwards. A duration of zero is a step at `start`.
struct Ramp {
    double from = 0.0;
    double to = 0.0;
    double start = 0.0;
    double duration = 0.0;
};

// offset + amplitude * sin(2*pi*frequency*t + phase); frequency in Hz,
// phase in rad.
struct Sine {
    double offset = 0.0;
    double amplitude = 0.0;
    double frequency = 0.0;
    double phase = 0.0;
};

// Piecewise-linear through (times[i], values[i]); times do not decrease and
// a time appears at most twice: twice is a jump, the earlier value the limit
// from before, the later one the value at the time and after. The first and
// last values are held outside the table.
struct Table {
    std::vector<double> times;
    std::vector<double> values;
};

using Waveform = std::variant<Constant, Step, Ramp, Sine, Table>;

// Whether time t may follow `times` in a table: not before the last one,
// and not a third time (twice is a jump; a third time would say nothing).
enum class NextTime { Fine, Decreases, ThirdTime };
NextTime CheckNextTime(const std::vector<double>& times, double t);

double Evaluate(const Waveform& wave, double t);

// A table's value at x, and its slope there (0 outside the table, the right
// segment's slope at a point). Tables over something other than time have
// strictly increasing x.
double TableAt(const Table& table, double x, double* slope);

// Adds the times in (from, to] where the waveform jumps or bends: a step's
// time, a ramp's two ends, a table's points.
void AddBreakpoints(const Waveform& wave, double from, double to, std::vector<double>& times);

// The smallest value the waveform takes at any time.
double LowestValue(const Waveform& wave);
// The largest magnitude the waveform takes at any time.
double LargestMagnitude(const Waveform& wave);

} // namespace dvx::sim
