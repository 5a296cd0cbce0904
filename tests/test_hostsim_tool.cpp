// The command-line tool called in-process: exit codes and what it prints
// for info, run and check, with good and bad input.
#include "hostsim/kit/library.h"
#include "hostsim/sim/output/plot.h"
#include "hostsim/tool/tool.h"
#include "tests/tool_harness.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace dvx::tool {
namespace {

namespace fs = std::filesystem;

void SetFault(int fault) {
    static const std::unique_ptr<host::ComponentLibrary> broken =
        host::LoadComponentLibrary(host::LibraryBesideProgram("HostsimBroken"));
    const int32_t argument[] = {fault};
    broken->CallExport("BrokenSetFault", argument);
}

TEST_F(ToolTest, VersionAndHelpOnEverySubcommand) {
    const Outcome version = Tool({"--version"});
    EXPECT_EQ(version.code, 0);
    EXPECT_TRUE(Has(version.out, DVX_EXPECTED_VERSION)) << version.out;
    for (const char* sub : {"info", "run", "check"}) {
        const Outcome help = Tool({sub, "--help"});
        EXPECT_EQ(help.code, 0) << sub;
        EXPECT_TRUE(Has(help.out, "--lib")) << help.out;
    }
    const Outcome run = Tool({"run", "--help"});
    for (const char* option : {"--start-time", "--stop-time", "--step", "--output-interval", "--param", "--csv",
                               "--plot", "--log-calls", "--method", "--set", "--output", "--reference",
                               "--reference-tolerance", ".svg"})
        EXPECT_TRUE(Has(run.out, option)) << option;
    EXPECT_NE(Tool({}).code, 0);
    EXPECT_NE(Tool({"simulate"}).code, 0);
    EXPECT_NE(Tool({"run", "--method", "rk4"}).code, 0);
}

TEST_F(ToolTest, InfoShowsVersionDescriptorAndCatalogue) {
    const Outcome info = Tool({"info"});
    EXPECT_EQ(info.code, 0) << info.err;
    for (const char* part : {"interface version  2", "model options      9", "descriptor         2, 376",
                             "ROT1", "ROTATIONAL_V", "Coordinate transf fact = mSuc/mPre = omgPre/omgSuc", "OMEGA2"})
        EXPECT_TRUE(Has(info.out, part)) << part << "\n" << info.out;
}

TEST_F(ToolTest, DefaultExampleRunsAndWritesItsCsv) {
    const Outcome run = Tool({"run", "--csv", In("demo.csv"), "--log-calls", "--stop-time", "0.1"});
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_TRUE(Has(run.out, "motor-gear")) << run.out;
    EXPECT_TRUE(Has(run.out, "CSV written to " + In("demo.csv")));
    EXPECT_TRUE(Has(run.err, "call 1 (set-up) of 'gear': status 0")) << run.err;
    EXPECT_TRUE(Has(run.err, "query 4: selector 4, handle")) << run.err;
    std::ifstream csv(dir / "demo.csv");
    std::string header;
    std::getline(csv, header);
    EXPECT_EQ(header, "time,gear.M1,gear.M2,gear.OMEGA1,gear.OMEGA2,gear.K");
}

struct BadRun {
    const char* what;
    std::vector<std::string> args;
    const char* message;
};

TEST_F(ToolTest, BadInputGivesOneMessageAndNonZeroExit) {
    std::ofstream(dir / "syntax.json") << "{\"nodes\": [\"a\",}";
    const BadRun cases[] = {
        {"missing model", {"run", In("none.json")}, "none.json: cannot open the model file"},
        {"syntax error", {"run", In("syntax.json")}, "syntax.json: not valid JSON"},
        {"negative step", {"run", "--step", "-1"}, "the settings given on the command line: the step must be a positive number"},
        {"parameter without instance", {"run", "--param", "2.5"}, "--param 2.5: expected INSTANCE=TEXT"},
        {"missing library", {"run", "--lib", In("none.so")}, "cannot load the component library"},
    };
    for (const BadRun& c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"--csv", In("out.csv")});
        const Outcome o = Tool(args);
        EXPECT_EQ(o.code, 1) << c.what;
        EXPECT_TRUE(Has(o.err, std::string("dolvanex-host: ")) && Has(o.err, c.message)) << c.what << ": " << o.err;
        EXPECT_FALSE(fs::exists(dir / "out.csv")) << c.what;
    }
}

// Found before the run: nothing runs for nothing, and nothing is written.
TEST_F(ToolTest, MissingGnuplotIsSaidPlainlyBeforeTheRun) {
    SetEnv("DVX_GNUPLOT", In("no-gnuplot").c_str());
    const Outcome o = Tool({"run", "--stop-time", "0.1", "--csv", In("a.csv"), "--plot", In("a.png")});
    SetEnv("DVX_GNUPLOT", "");
    EXPECT_EQ(o.code, 1);
    EXPECT_TRUE(Has(o.err, "no plot, because gnuplot was not found")) << o.err;
    EXPECT_FALSE(Has(o.out, "solver")) << o.out;
    EXPECT_FALSE(fs::exists(dir / "a.csv"));
    EXPECT_FALSE(fs::exists(dir / "a.png"));
}

TEST_F(ToolTest, PlotIsAPngWhenGnuplotIsThere) {
    if (sim::FindGnuplot().empty()) GTEST_SKIP() << "gnuplot is not installed here";
    const Outcome o = Tool({"run", "--stop-time", "0.5", "--plot", In("a.png")});
    ASSERT_EQ(o.code, 0) << o.err;
    std::ifstream png(dir / "a.png", std::ios::binary);
    char magic[4] = {};
    png.read(magic, 4);
    EXPECT_EQ(std::string(magic + 1, 3), "PNG");
    for (const auto& entry : fs::directory_iterator(dir)) EXPECT_EQ(entry.path().filename(), "a.png");
}

TEST_F(ToolTest, CheckPassesOnTheComponentAndReportsEachFault) {
    const Outcome good = Tool({"check"});
    EXPECT_EQ(good.code, 0) << good.out;
    EXPECT_TRUE(Has(good.out, ", 0 findings")) << good.out;
    EXPECT_FALSE(Has(good.out, "FINDING"));

    const std::string broken = host::LibraryBesideProgram("HostsimBroken").string();
    struct FaultCase {
        int fault;
        const char* finding;
    };
    for (const FaultCase& c : {FaultCase{3, "FINDING  a zero InstanceData or InterfaceBlock handle gives 28195"},
                               FaultCase{2, "FINDING  every call gave back every lock it took: call type 3: "
                                            "InstanceData lock count"},
                               FaultCase{5, "FINDING  with K 2 and consistent variables 10, 5, 3 the entries draw 3 "
                                            "from ROT1, -6 from ROT2"}}) {
        SetFault(c.fault);
        const Outcome o = Tool({"check", "--lib", broken});
        SetFault(0);
        EXPECT_EQ(o.code, 1) << c.fault;
        EXPECT_TRUE(Has(o.out, c.finding)) << o.out;
    }
    for (const std::string& lib : {In("none.so"), host::LibraryBesideProgram("HostsimBrokenNoMain").string()}) {
        const Outcome o = Tool({"check", "--lib", lib});
        EXPECT_EQ(o.code, 1);
        EXPECT_TRUE(Has(o.out, "FINDING  ") && Has(o.out, "the library cannot be checked")) << o.out;
    }
}

} // namespace
} // namespace dvx::tool
