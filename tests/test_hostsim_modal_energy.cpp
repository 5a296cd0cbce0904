// modes --energy: the shares of each mode's kinetic, strain and dissipated
// energy (each summing to 1, and a two-inertia mode's by its closed form),
// and the sensitivities of the natural frequencies against finite
// differences of modes runs with the value changed by --set.
#include "hostsim/sim/analyses.h"
#include "tests/modes_harness.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

namespace dvx::sim::testing {
namespace {

const std::string kShuffle = std::string(DVX_SOURCE_DIR) + "/examples/driveline-shuffle/model.json";

// Inertias on a and b; between them a backlash pushing (its c and d) and a
// damper; a slipping bearing friction with a viscous part on a.
const char* kHybrid = R"({"nodes": [{"name": "a", "omega0": 3}, {"name": "b", "omega0": 3}], "elements": [
    {"type": "inertia", "name": "ja", "node": "a", "J": 0.3}, {"type": "inertia", "name": "jb", "node": "b", "J": 2},
    {"type": "elasto_backlash", "name": "lash", "a": "a", "b": "b", "c": 500, "d": 0.8, "play": 0.1, "angle0": 0.2},
    {"type": "bearing_friction", "name": "brg", "node": "a", "torque": 1, "viscous": 0.6},
    {"type": "damper", "name": "dmp", "a": "a", "b": "b", "d": 0.4}], "instances": []})";

void Write(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

ModesResult Modes(const std::string& model, std::vector<ModelChange> changes = {}) {
    AnalysisOptions o;
    o.model = model;
    o.library = host::LibraryBesideProgram();
    o.changes = std::move(changes);
    o.energy = true;
    std::ostringstream log;
    return RunModes(o, log);
}

std::string Hybrid() {
    const std::string path = (std::filesystem::temp_directory_path() / "dvx-modal-energy-hybrid.json").string();
    Write(path, kHybrid);
    return path;
}

TEST(ModalEnergy, SharesSumToOnePerMode) {
    for (const std::string& model : {kShuffle, Hybrid()}) {
        const ModesResult r = Modes(model);
        for (size_t k = 0; k < r.set.modes.size(); ++k) {
            double kinetic = 0.0, strain = 0.0, dissipation = 0.0;
            for (const ElementModalEnergy& e : r.energy->elements)
                kinetic += e.kinetic[k], strain += e.strain[k], dissipation += e.dissipation[k];
            EXPECT_NEAR(kinetic, 1.0, 1e-12) << model << ", mode " << k + 1;
            if (r.set.modes[k].rigid) {
                EXPECT_TRUE(std::isnan(strain)) << "a rigid-body mode strains nothing";
                continue;
            }
            EXPECT_NEAR(strain, 1.0, 1e-12) << model << ", mode " << k + 1;
            if (r.set.modes[k].dampedHz > 0.0) {
                EXPECT_NEAR(dissipation, 1.0, 1e-12) << model << ", mode " << k + 1;
            }
        }
    }
}

TEST(ModalEnergy, TwoInertiasSplitTheirEnergiesByTheClosedForm) {
    // J1 and J2 free, a spring and a damper between: the mode's speeds are
    // as -J2 : J1, so the kinetic energy splits J2 : J1; all strain in the
    // spring, all dissipation in the damper.
    const double j1 = 0.3, j2 = 2.0;
    const std::string path = (std::filesystem::temp_directory_path() / "dvx-modal-energy-pair.json").string();
    Write(path, R"({"nodes": ["a", "b"], "elements": [{"type": "inertia", "name": "ja", "node": "a", "J": 0.3},
        {"type": "inertia", "name": "jb", "node": "b", "J": 2}, {"type": "spring", "name": "s", "a": "a", "b": "b", "c": 500},
        {"type": "damper", "name": "d", "a": "a", "b": "b", "d": 1.5}], "instances": []})");
    const ModesResult r = Modes(path);
    ASSERT_EQ(r.set.modes.size(), 2u);
    ASSERT_TRUE(r.set.modes[0].rigid);
    const auto& e = r.energy->elements;
    ASSERT_EQ(e.size(), 4u);
    EXPECT_NEAR(e[0].kinetic[1], j2 / (j1 + j2), 1e-12);
    EXPECT_NEAR(e[1].kinetic[1], j1 / (j1 + j2), 1e-12);
    EXPECT_NEAR(e[2].strain[1], 1.0, 1e-12);
    EXPECT_NEAR(e[3].dissipation[1], 1.0, 1e-12);
    // The rigid-body mode turns both alike: J1 : J2.
    EXPECT_NEAR(e[0].kinetic[0], j1 / (j1 + j2), 1e-12);
    EXPECT_EQ(e[0].value[0], j1);
    EXPECT_EQ(e[2].value[1], 500.0);
    EXPECT_EQ(e[3].value[2], 1.5);
}

// Each parameter's sensitivity against central differences of the modes
// with the value changed by a relative 1e-4 either way.
void ExpectSensitivitiesMatchDifferences(const std::string& model, const std::map<std::string, std::string>& names) {
    const ModesResult base = Modes(model);
    const char* keys[] = {"J", "c", "d"};
    int checked = 0;
    for (const ElementModalEnergy& e : base.energy->elements)
        for (int kind = 0; kind < 3; ++kind) {
            if (std::isnan(e.value[kind])) continue;
            const std::string key = names.count(e.element + "." + keys[kind]) ? names.at(e.element + "." + keys[kind])
                                                                               : e.element + "." + keys[kind];
            const double h = 1e-4, p = e.value[kind];
            std::ostringstream up, down;
            up.precision(17), down.precision(17);
            up << p * (1.0 + h), down << p * (1.0 - h);
            const ModesResult a = Modes(model, {{key, up.str()}}), b = Modes(model, {{key, down.str()}});
            ASSERT_EQ(a.set.modes.size(), base.set.modes.size()) << key;
            for (size_t k = 0; k < base.set.modes.size(); ++k) {
                if (base.set.modes[k].rigid) continue;
                const double fd = (a.set.modes[k].naturalHz - b.set.modes[k].naturalHz) /
                                  (2.0 * h * base.set.modes[k].naturalHz);
                EXPECT_NEAR(e.sensitivity[kind][k], fd, 1e-5) << key << ", mode " << k + 1;
                ++checked;
            }
        }
    EXPECT_GT(checked, 3) << model;
}

TEST(ModalEnergy, SensitivitiesAreThoseOfFiniteDifferences) {
    ExpectSensitivitiesMatchDifferences(kShuffle, {});
    ExpectSensitivitiesMatchDifferences(Hybrid(), {{"brg.d", "brg.viscous"}});
}

TEST(ModalEnergy, ScalingEveryValueLeavesTheFrequencies) {
    // J, c, d all scaled alike leave lambda; c by b^2 and d by b scale it by
    // b: the sensitivities sum to 0, and 2*sum(c) + sum(d) to 1.
    const ModesResult r = Modes(kShuffle);
    for (size_t k = 0; k < r.set.modes.size(); ++k) {
        if (r.set.modes[k].rigid) continue;
        double all = 0.0, scale = 0.0;
        for (const ElementModalEnergy& e : r.energy->elements)
            for (int kind = 0; kind < 3; ++kind)
                if (!std::isnan(e.sensitivity[kind][k])) {
                    all += e.sensitivity[kind][k];
                    scale += (kind == 1 ? 2.0 : kind == 2 ? 1.0 : 0.0) * e.sensitivity[kind][k];
                }
        EXPECT_NEAR(all, 0.0, 1e-9) << "mode " << k + 1;
        EXPECT_NEAR(scale, 1.0, 1e-9) << "mode " << k + 1;
    }
}

} // namespace
} // namespace dvx::sim::testing
