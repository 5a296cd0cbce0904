// The Campbell (interference) diagram: the natural frequencies of the model
// over a node's speed, each linearised at its steady operating point
// (OperatingPoints), the modes followed from speed to speed by their shapes,
// and where each mode crosses an engine order's line f = o*rpm/60.
//
// A mode is followed by the modal assurance criterion of its eigenvector
// against the last speed's, |u^H v|^2/(|u|^2 |v|^2), pairs taken best first:
// two modes whose frequencies cross over speed keep their numbers, where
// sorting by frequency would swap them. A mode that matches none starts a
// new trace. Rigid-body modes (0 Hz) are left out.
#pragma once

#include "hostsim/sim/analysis/modes.h"
#include "hostsim/sim/analysis/operating_point.h"

#include <optional>
#include <string>
#include <vector>

namespace dvx::sim {

struct SpeedGrid {
    double from = 0.0, to = 0.0; // [rpm]
    int points = 200;
};
// Throws SimError unless 0 <= from < to (finite) and 2 <= points <= 100000.
void CheckSpeedGrid(const SpeedGrid& grid);
std::vector<double> SpeedsOf(const SpeedGrid& grid); // evenly spaced, both ends exact

struct OperatingRange {
    double lo = 0.0, hi = 0.0; // [rpm]
};
// "LO:HI" with 0 <= LO < HI; throws SimError naming `option`.
OperatingRange ParseOperatingRange(const std::string& text, const std::string& option);
// Orders "0.5,1,2": positive numbers; throws SimError naming `option`.
std::vector<double> ParseOrders(const std::string& text, const std::string& option);

// One mode followed over the speeds: NaN where it is not present.
struct ModeTrace {
    int number = 0; // 1, 2, ... in the order of the first speed's frequencies
    std::vector<double> hz, zeta;
};

struct Crossing {
    int mode = 0;
    double order = 0.0, rpm = 0.0, hz = 0.0, zeta = 0.0;
    // With an operating range: whether the crossing lies in it, and its
    // distance from the range's nearest end as a share of that end [%]:
    // positive outside, negative inside (how deep).
    bool inside = false;
    double marginPct = 0.0;
};

struct CampbellDiagram {
    std::string node;
    std::vector<double> rpm;
    std::vector<double> orders;
    std::optional<OperatingRange> operating;
    std::vector<ModeTrace> traces;
    std::vector<Crossing> crossings; // by mode, then order, then speed
    std::vector<std::string> unitModes;
    double t = 0.0;
    std::string solver;
};

// The diagram of the points' node over `grid`: the modes of `request` at
// every speed; each crossing found between two speeds is refined to where
// the followed mode's frequency meets the order's line.
CampbellDiagram ComputeCampbell(OperatingPoints& points, const Model& model, const SpeedGrid& grid,
                                const std::vector<double>& orders, const std::optional<OperatingRange>& operating,
                                const ModeRequest& request);

// The modal assurance criterion of two eigenvectors.
double Mac(const Eigen::VectorXcd& u, const Eigen::VectorXcd& v);

} // namespace dvx::sim
