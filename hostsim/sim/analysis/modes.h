// The natural modes of the linearised network: per finite eigenvalue lambda
// of A*v = -lambda*B*v, its natural frequency |lambda|/(2*pi), its damped
// frequency |Im lambda|/(2*pi), its damping ratio -Re lambda/|lambda|, and
// its shape on the nodes that carry inertia.
//
// A conjugate pair is one mode (the member with Im lambda > 0); a real
// eigenvalue is a mode that does not oscillate (damping ratio 1 when it
// decays, -1 when it grows). A rigid-body mode has lambda = 0: the drivetrain
// turns as a whole, or a part of it that nothing holds; its damping ratio is
// NaN.
#pragma once

#include "hostsim/sim/analysis/linearise.h"
#include "hostsim/sim/model/model.h"

#include <Eigen/Dense>

#include <complex>
#include <string>
#include <vector>

namespace dvx::sim {

// A node that carries inertia: its speed's unknown and its inertia, the sum
// of the inertias on it (dF/dy' of its row) [kg m^2].
struct InertiaNode {
    std::string node;
    int unknown = 0;
    double inertia = 0.0;
};

struct Mode {
    std::complex<double> lambda; // [1/s]
    bool rigid = false;
    double naturalHz = 0.0, dampedHz = 0.0;
    double dampingRatio = 0.0;
    // Per inertia node: the speed's amplitude relative to the largest one,
    // its phase against that one [deg, -180 to 180], and its share of the
    // mode's kinetic energy (NaN where the mode moves no inertia).
    std::vector<double> amplitude, phaseDeg, energyShare;
    // The eigenvector on the differential unknowns (ModeSet::differential).
    Eigen::VectorXcd vector;
};

struct ModeSet {
    double t = 0.0;
    std::vector<std::string> unitModes; // the hybrid units' modes at t
    std::vector<InertiaNode> inertias;
    std::vector<Mode> modes; // rigid-body modes first, then by natural frequency
    int unknowns = 0, differential = 0, constraints = 0;
    double shift = 0.0;
    std::vector<int> differentialUnknowns; // D, where Mode::vector lives
    std::string solver;                    // "dense", or the sparse solver's work
};

// |lambda| below this share of the spectrum's scale is a rigid-body mode.
inline constexpr double kRigidShare = 1e-9;

// Which modes are wanted, and how they are found: the dense reduction finds
// every one; the sparse solver the lowest, for a bounded request.
enum class Solver { Auto, Dense, Sparse };
struct ModeRequest {
    Solver solver = Solver::Auto;
    int count = 0;        // the lowest modes (a rigid-body mode counts); 0 for no bound
    double belowHz = 0.0; // every mode below this natural frequency [Hz]; 0 for no bound
    bool Bounded() const { return count > 0 || belowHz > 0.0; }
};
// Auto takes the sparse path for a bounded request on more differential
// unknowns than this; below it the dense reduction is quicker.
inline constexpr int kDenseLimit = 200;

// Throws SimError naming the option: --count below 1, --below not a positive
// frequency.
void CheckModeRequest(const ModeRequest& request);
ModeSet ComputeModes(const LinearModel& lin, const Model& model, const ModeRequest& request = {});
// The solver's name on the command line ("auto", "dense", "sparse").
bool ParseSolver(const std::string& text, Solver* solver);

// The shape of a (complex) eigenvector on the inertia nodes, into `mode`.
void ShapeOf(const Eigen::VectorXcd& onD, const std::vector<int>& posD, const std::vector<InertiaNode>& inertias,
             Mode& mode);

} // namespace dvx::sim
