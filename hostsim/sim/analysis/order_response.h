// The forced response per engine order over a node's speed: at each speed
// the model linearised at its steady operating point (OperatingPoints) and
// driven by a harmonic of order O at every source, o*rpm/60 Hz, each with its
// amplitude and phase (the firing order of a multi-cylinder engine is a
// phase per source); the steady-state amplitude and phase of each output, by
// the complex solve of the frequency response:
//   (A + j*omega*B)*x = sum over sources of amplitude*e^(j*phase) at its row.
#pragma once

#include "hostsim/sim/analysis/campbell.h"
#include "hostsim/sim/analysis/response.h"

#include <complex>
#include <string>
#include <vector>

namespace dvx::sim {

// "SOURCE[:AMPLITUDE[:PHASE_DEG]]": amplitude 1 and phase 0 unless given.
struct OrderInput {
    std::string source;
    double amplitude = 1.0, phaseDeg = 0.0;
};
// Throws SimError naming `option` and the text.
OrderInput ParseOrderInput(const std::string& text, const std::string& option);

struct OrderResponse {
    std::string node;
    double order = 0.0;
    std::vector<OrderInput> inputs;
    std::vector<std::string> outputs;
    std::vector<double> rpm, hz;
    std::vector<std::vector<std::complex<double>>> value; // per output, per speed: its phasor
    std::vector<std::string> unitModes;
    double t = 0.0;
};

// `sources` and `outputs` found beforehand (FindSource, FindOutput), in the
// order of `inputs` and of the output columns.
OrderResponse ComputeOrderResponse(OperatingPoints& points, const std::vector<OrderInput>& inputs,
                                   const std::vector<ResponseInput>& sources,
                                   const std::vector<ResponseOutput>& outputs, double order, const SpeedGrid& grid);

} // namespace dvx::sim
