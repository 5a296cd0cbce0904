// The network's sparse Jacobian inside SUNDIALS: a SUNMatrix whose values are
// those of a SparseFactor, and a direct SUNLinearSolver that factorises it
// with Eigen's SparseLU. One code path for both targets, no SuperLU or KLU.
#pragma once

#include "hostsim/sim/integrators/sparse_factor.h"

#include <sundials/sundials_context.h>
#include <sundials/sundials_linearsolver.h>
#include <sundials/sundials_matrix.h>

namespace dvx::sim {

// The matrix neither owns nor copies the factor; both must outlive IDA's use.
SUNMatrix NewFactorMatrix(SUNContext context, SparseFactor& factor);
SparseFactor& FactorOf(SUNMatrix matrix);
// setup factorises (a singular matrix is a recoverable failure, so that IDA
// tries a shorter step), solve solves with the factorisation (a right-hand
// side that a singular matrix cannot meet is not recoverable).
SUNLinearSolver NewFactorSolver(SUNContext context, SparseFactor& factor);

} // namespace dvx::sim
