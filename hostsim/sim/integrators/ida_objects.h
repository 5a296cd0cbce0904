// The SUNDIALS objects of one IDA run, created together and freed in the
// right order.
#pragma once

#include "hostsim/sim/base/error.h"
#include "hostsim/sim/integrators/sparse_factor.h"
#include "hostsim/sim/integrators/sundials_eigen.h"

#include <ida/ida.h>
#include <nvector/nvector_serial.h>

#include <algorithm>
#include <string>
#include <vector>

namespace dvx::sim {

struct IdaObjects {
    SUNContext context = nullptr;
    void* mem = nullptr;
    // The solution and its derivative, the differential/algebraic marks,
    // the absolute tolerances, and two vectors of scratch.
    N_Vector y = nullptr, yp = nullptr, id = nullptr, atol = nullptr, ys = nullptr, yps = nullptr;
    SUNMatrix matrix = nullptr;
    SUNLinearSolver solver = nullptr;
    size_t n = 0;

    IdaObjects(size_t size, const Eigen::SparseMatrix<double>&, SparseFactor& factor) : n(size) {
        if (SUNContext_Create(nullptr, &context) != 0) throw SimError("IDA: cannot create a SUNDIALS context");
        const auto length = static_cast<sunindextype>(n);
        for (N_Vector* v : {&y, &yp, &id, &atol, &ys, &yps}) *v = N_VNew_Serial(length, context);
        mem = IDACreate(context);
        matrix = NewFactorMatrix(context, factor);
        solver = NewFactorSolver(context, factor);
        bool complete = mem != nullptr && matrix != nullptr && solver != nullptr;
        for (N_Vector v : {y, yp, id, atol, ys, yps}) complete = complete && v != nullptr;
        if (!complete) {
            Free(); // a constructor that throws runs no destructor
            throw SimError("IDA: out of memory for " + std::to_string(n) + " unknowns");
        }
    }
    ~IdaObjects() { Free(); }
    void Free() {
        if (mem != nullptr) IDAFree(&mem);
        if (solver != nullptr) SUNLinSolFree(solver);
        if (matrix != nullptr) SUNMatDestroy(matrix);
        for (N_Vector v : {y, yp, id, atol, ys, yps})
            if (v != nullptr) N_VDestroy(v);
        y = yp = id = atol = ys = yps = nullptr;
        solver = nullptr;
        matrix = nullptr;
        if (context != nullptr) SUNContext_Free(&context);
    }
    IdaObjects(const IdaObjects&) = delete;
    IdaObjects& operator=(const IdaObjects&) = delete;

    void Load(N_Vector v, const std::vector<double>& from) const {
        std::copy(from.begin(), from.end(), N_VGetArrayPointer(v));
    }
    void Store(N_Vector v, std::vector<double>& to) const {
        const double* p = N_VGetArrayPointer(v);
        to.assign(p, p + n);
    }
};

} // namespace dvx::sim
