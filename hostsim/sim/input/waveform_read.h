// Waveforms as model files write them: a number, or an object with a
// "type" (constant, step, ramp, sine, table, csv).
#pragma once

#include "hostsim/sim/input/json_reader.h"
#include "hostsim/sim/input/waveform.h"

namespace dvx::sim {

// Reads the waveform at `at`; a csv waveform's relative file name starts
// from the folder of the model file that `at` belongs to. Throws SimError
// naming the file and the JSON path.
Waveform ReadWaveform(const JsonAt& at);

} // namespace dvx::sim
