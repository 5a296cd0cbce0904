// The frequency response of the linearised network from a source's value to
// an output column: (A + j*omega*B)*x = b at each frequency, b the
// derivative of the residual by the source's value (a torque source's node
// row, a speed source's own row), and the output's derivative along x.
#pragma once

#include "hostsim/sim/analysis/linearise.h"
#include "hostsim/sim/model/model.h"
#include "hostsim/sim/network/network.h"

#include <complex>
#include <functional>
#include <string>
#include <vector>

namespace dvx::sim {

struct ResponseInput {
    std::string element;
    std::string unit; // of the source's value: "Nm" or "rad/s"
    int row = 0;      // where the source's value enters F
    // The column that is the source's value itself (a torque source's
    // "torque"): it follows the input directly, not through the unknowns.
    std::string valueColumn;
};

// The source named `name` (an element's name, or its label); throws SimError
// naming it when there is no such element or it is no torque or speed source.
ResponseInput FindSource(const Model& model, const Network& network, const std::string& name);

// An output column of the run (`wheels.omega`, `gearbox.M1`) as a function
// of the unknowns at the point's time; throws SimError naming the column
// and listing the columns there are when it is none of them.
struct ResponseOutput {
    std::string column;
    std::function<double(const std::vector<double>& y)> value;
};
ResponseOutput FindOutput(const Model& model, Network& network, const Session& session, double t,
                          const std::string& column);

// The output's phasor along a complex deviation x of the unknowns about y0:
// its derivative along Re x and along Im x (exact for outputs linear or
// quadratic in the unknowns).
std::complex<double> OutputAlong(const ResponseOutput& output, const std::vector<double>& y0,
                                 const Eigen::VectorXcd& x);

struct FrequencyGrid {
    double from = 0.1, to = 100.0; // [Hz]
    int points = 300;
};
// Throws SimError unless 0 < from < to and 2 <= points <= 1e6.
void CheckGrid(const FrequencyGrid& grid);

struct FrequencyResponse {
    std::string input, output, inputUnit;
    std::vector<double> hz;
    std::vector<std::complex<double>> h;      // output per unit of input
    std::vector<double> magnitudeDb, phaseDeg; // phase unwrapped along the grid
};

FrequencyResponse ComputeResponse(const LinearModel& lin, const ResponseInput& input, const ResponseOutput& output,
                                  const FrequencyGrid& grid);

} // namespace dvx::sim
