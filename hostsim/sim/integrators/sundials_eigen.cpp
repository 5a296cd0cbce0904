#include "hostsim/sim/integrators/sundials_eigen.h"

#include <nvector/nvector_serial.h>

#include <algorithm>

namespace dvx::sim {

namespace {

SparseFactor& Content(SUNMatrix m) { return *static_cast<SparseFactor*>(m->content); }
SparseFactor& Content(SUNLinearSolver s) { return *static_cast<SparseFactor*>(s->content); }


} // namespace

SUNMatrix NewFactorMatrix(SUNContext context, SparseFactor& factor) {
    SUNMatrix m = SUNMatNewEmpty(context);
    if (m == nullptr) return nullptr;
    m->content = &factor;
    m->ops->getid = [](SUNMatrix) { return SUNMATRIX_CUSTOM; };
    m->ops->destroy = [](SUNMatrix a) {
        a->content = nullptr;
        SUNMatFreeEmpty(a);
    };
    m->ops->zero = [](SUNMatrix a) {
        SparseFactor& f = Content(a);
        std::fill(f.Values(), f.Values() + f.NonZeros(), 0.0);
        return 0;
    };
    m->ops->space = [](SUNMatrix a, long* real, long* integer) {
        *real = Content(a).NonZeros();
        *integer = Content(a).NonZeros() + Content(a).Size() + 1;
        return 0;
    };
    return m;
}

SparseFactor& FactorOf(SUNMatrix matrix) { return Content(matrix); }

SUNLinearSolver NewFactorSolver(SUNContext context, SparseFactor& factor) {
    SUNLinearSolver s = SUNLinSolNewEmpty(context);
    if (s == nullptr) return nullptr;
    s->content = &factor;
    s->ops->gettype = [](SUNLinearSolver) { return SUNLINEARSOLVER_DIRECT; };
    s->ops->getid = [](SUNLinearSolver) { return SUNLINEARSOLVER_CUSTOM; };
    s->ops->initialize = [](SUNLinearSolver) { return SUNLS_SUCCESS; };
    s->ops->setup = [](SUNLinearSolver self, SUNMatrix) {
        return Content(self).Factorize() ? SUNLS_SUCCESS : SUNLS_LUFACT_FAIL;
    };
    s->ops->solve = [](SUNLinearSolver self, SUNMatrix, N_Vector x, N_Vector b, realtype) {
        // A right-hand side that a singular matrix cannot meet: no shorter
        // step will mend it.
        return Content(self).Solve(N_VGetArrayPointer(b), N_VGetArrayPointer(x)) ? SUNLS_SUCCESS
                                                                                   : SUNLS_PACKAGE_FAIL_UNREC;
    };
    s->ops->space = [](SUNLinearSolver, long* real, long* integer) {
        *real = 0;
        *integer = 0;
        return SUNLS_SUCCESS;
    };
    s->ops->free = [](SUNLinearSolver self) {
        self->content = nullptr;
        SUNLinSolFreeEmpty(self);
        return SUNLS_SUCCESS;
    };
    return s;
}

} // namespace dvx::sim
