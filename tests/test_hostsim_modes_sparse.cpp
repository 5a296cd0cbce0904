// The lowest modes of large models by the sparse shift-and-invert solver,
// against the chain's closed form and against the dense reduction, and the
// options that choose them.
#include "benchmarks/chain_model.h"
#include "hostsim/sim/analyses.h"
#include "tests/modes_harness.h"
#include "tests/tool_harness.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>

namespace dvx::sim::testing {
namespace {

const std::string kExamples = std::string(DVX_SOURCE_DIR) + "/examples/";

double ChainHz(int n, int k, double j, double c) {
    return Hz(2.0 * std::sqrt(c / j) * std::sin((2 * k - 1) * std::numbers::pi / (4.0 * n + 2.0)));
}

TEST(ModesSparse, LowestOfAThousandInertiasAreTheClosedForm) {
    const int n = 1000;
    Placed p(SpringChainModelText(n, 0.02, 800.0));
    const ModeSet set = ComputeModes(p.At(0.0), p.model, {Solver::Auto, 10, 0.0});
    EXPECT_EQ(set.solver.rfind("sparse", 0), 0u) << set.solver;
    ASSERT_EQ(set.modes.size(), 10u);
    for (int k = 1; k <= 10; ++k)
        EXPECT_LT(std::abs(set.modes[static_cast<size_t>(k - 1)].naturalHz / ChainHz(n, k, 0.02, 800.0) - 1.0), 1e-9)
            << "mode " << k;
}

// The same request through both solvers: the same modes, shapes included.
void ExpectSolversAgree(Placed& p, double t, const ModeRequest& request, const std::string& what) {
    const LinearModel lin = p.At(t);
    ModeRequest dense = request, sparse = request;
    dense.solver = Solver::Dense;
    sparse.solver = Solver::Sparse;
    const ModeSet a = ComputeModes(lin, p.model, dense), b = ComputeModes(lin, p.model, sparse);
    EXPECT_EQ(b.solver.rfind("sparse", 0), 0u) << what;
    ASSERT_EQ(a.modes.size(), b.modes.size()) << what;
    ASSERT_FALSE(a.modes.empty()) << what;
    // Two rigid-body modes span a plane that any two shapes in it describe.
    const bool rigidPlane = RigidCount(a) > 1;
    for (size_t k = 0; k < a.modes.size(); ++k) {
        const Mode &x = a.modes[k], &y = b.modes[k];
        EXPECT_EQ(x.rigid, y.rigid) << what << ", mode " << k + 1;
        EXPECT_LT(std::abs(x.lambda - y.lambda), 1e-9 * std::max(1.0, std::abs(x.lambda))) << what << ", mode " << k + 1;
        if (x.rigid && rigidPlane) continue;
        for (size_t n = 0; n < x.amplitude.size(); ++n)
            EXPECT_NEAR(x.amplitude[n], y.amplitude[n], 1e-7) << what << ", mode " << k + 1 << ", node " << n;
    }
}

TEST(ModesSparse, AgreesWithTheDenseReduction) {
    Placed chain(SpringChainModelText(150, 0.02, 800.0));
    ExpectSolversAgree(chain, 0.0, {Solver::Auto, 12, 0.0}, "chain of 150, 12 lowest");
    ExpectSolversAgree(chain, 0.0, {Solver::Auto, 0, 20.0}, "chain of 150, below 20 Hz");
    // Constraints (the clutch stuck, a gear between inertias) and two
    // rigid-body modes (the clutch slipping).
    std::ifstream in(kExamples + "driveline-shuffle/model.json");
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    struct Case {
        double t;
        ModeRequest request;
        const char* what;
    };
    const Case cases[] = {{3.5, {Solver::Auto, 1, 0.0}, "shuffle, stuck, lowest"},
                          {3.5, {Solver::Auto, 0, 10.0}, "shuffle, stuck, below 10 Hz"},
                          {4.5, {Solver::Auto, 0, 50.0}, "shuffle, slipping, below 50 Hz"},
                          {0.0, {Solver::Auto, 0, 3.0}, "shuffle at rest, below 3 Hz"}};
    for (const Case& c : cases) {
        Placed p(text);
        ExpectSolversAgree(p, c.t, c.request, c.what);
    }
}

TEST(ModesSparse, BoundsAreTheSameForEitherSolver) {
    // --count keeps the lowest (rigid-body modes first), --below those under it.
    Placed p(SpringChainModelText(10, 0.02, 800.0));
    const LinearModel lin = p.At(0.0);
    const ModeSet all = ComputeModes(lin, p.model);
    ASSERT_EQ(all.modes.size(), 10u);
    const ModeSet three = ComputeModes(lin, p.model, {Solver::Dense, 3, 0.0});
    ASSERT_EQ(three.modes.size(), 3u);
    EXPECT_EQ(three.modes[2].naturalHz, all.modes[2].naturalHz);
    const double between = 0.5 * (all.modes[4].naturalHz + all.modes[5].naturalHz);
    EXPECT_EQ(ComputeModes(lin, p.model, {Solver::Dense, 0, between}).modes.size(), 5u);
    EXPECT_EQ(ComputeModes(lin, p.model, {Solver::Dense, 2, between}).modes.size(), 2u);
}

} // namespace
} // namespace dvx::sim::testing

namespace dvx::tool {
namespace {

TEST_F(ToolTest, ModesRefusesBadBoundsNamingThem) {
    const std::string shuffle = std::string(DVX_SOURCE_DIR) + "/examples/driveline-shuffle/model.json";
    const std::string csv = In("never.csv");
    struct Row {
        std::vector<std::string> args;
        const char* message;
    };
    const Row rows[] = {
        {{"modes", shuffle, "--count", "0", "--csv", csv}, "--count 0: the number of modes must be at least 1"},
        {{"modes", shuffle, "--below", "-2", "--csv", csv}, "--below -2: the frequency must be a positive number"},
        {{"modes", shuffle, "--solver", "fast", "--csv", csv}, "--solver fast: the solver is auto, dense or sparse"},
        {{"modes", shuffle, "--solver", "sparse", "--csv", csv}, "--solver sparse: the sparse solver finds the lowest"},
        {{"modes", shuffle, "--solver", "sparse", "--count", "3", "--csv", csv},
         "--solver sparse: the model has too few finite eigenvalues"},
    };
    for (const Row& row : rows) {
        const Outcome o = Tool(row.args);
        EXPECT_EQ(o.code, 1) << row.message;
        EXPECT_TRUE(Has(o.err, row.message)) << o.err;
        EXPECT_FALSE(fs::exists(csv)) << row.message;
    }
}

} // namespace
} // namespace dvx::tool
