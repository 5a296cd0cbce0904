// Output files go where their path points and nothing is lost: a device, a
// FIFO and a symbolic link are written through, a replaced file keeps its
// mode, two outputs on one file and a bad path are refused before the run,
// and a failed run leaves no file behind nor changes one.
#include "hostsim/sim/output/output_file.h"
#include "tests/tool_harness.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <thread>

#if !defined(_WIN32)
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace dvx::tool {
namespace {

std::string FirstLine(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

// Nothing beside the outputs: no partial file of a run survives it.
void ExpectOnly(const fs::path& dir, std::vector<std::string> names) {
    std::vector<std::string> there;
    for (const auto& entry : fs::directory_iterator(dir)) there.push_back(entry.path().filename().string());
    std::sort(there.begin(), there.end());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(there, names);
}

TEST_F(ToolTest, PathsThatCannotTakeAnOutputAreRefusedBeforeTheRun) {
    fs::create_directories(dir / "folder");
    std::ofstream(dir / "kept.csv") << "earlier\n";
    SetEnv("DVX_GNUPLOT", (dir / "kept.csv").string().c_str()); // any file: the plot is not drawn
    const struct {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"--csv", In("folder")}, "--csv " + In("folder") + ": names a folder, not a file"},
        {{"--csv", In("kept.csv"), "--plot", In("missing/kept.png")},
         "--plot " + In("missing/kept.png") + ": the folder " + (dir / "missing").string() + " does not exist"},
        {{"--csv", In("same.png"), "--plot", In("same.png")}, "the same file as --csv " + In("same.png")},
        {{"--csv", In("none/x.csv")}, "does not exist"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args{"run", "--stop-time", "0.1"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const Outcome o = Tool(args);
        EXPECT_EQ(o.code, 1) << c.message;
        EXPECT_TRUE(Has(o.err, c.message)) << o.err;
        EXPECT_FALSE(Has(o.out, "solver")) << "ran: " << c.message;
    }
    SetEnv("DVX_GNUPLOT", "");
    EXPECT_EQ(FirstLine(dir / "kept.csv"), "earlier");
    ExpectOnly(dir, {"folder", "kept.csv"});
}

TEST_F(ToolTest, FailedRunChangesNoFileAndLeavesNothingBehind) {
    std::ofstream(dir / "kept.csv") << "earlier\n";
    const Outcome o = Tool({"run", "--param", "gear=NOSUCH", "--csv", In("kept.csv")});
    EXPECT_EQ(o.code, 1);
    EXPECT_EQ(FirstLine(dir / "kept.csv"), "earlier");
    ExpectOnly(dir, {"kept.csv"});
}

#if !defined(_WIN32)
const char* kHeader = "time,gear.M1,gear.M2,gear.OMEGA1,gear.OMEGA2,gear.K";

TEST_F(ToolTest, ReplacedFileKeepsItsModeAndANewOneFollowsTheUmask) {
    std::ofstream(dir / "private.csv") << "earlier\n";
    ASSERT_EQ(chmod((dir / "private.csv").c_str(), 0600), 0);
    ASSERT_EQ(Tool({"run", "--stop-time", "0.1", "--csv", In("private.csv")}).code, 0);
    struct stat info {};
    ASSERT_EQ(stat((dir / "private.csv").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    EXPECT_EQ(FirstLine(dir / "private.csv"), kHeader);

    const mode_t mask = umask(027);
    ASSERT_EQ(Tool({"run", "--stop-time", "0.1", "--csv", In("new.csv")}).code, 0);
    umask(mask);
    ASSERT_EQ(stat((dir / "new.csv").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
}

TEST_F(ToolTest, SymbolicLinkIsFollowedAndStaysALink) {
    fs::create_directories(dir / "real");
    fs::create_symlink(dir / "real" / "result.csv", dir / "link.csv"); // dangling until the run
    ASSERT_EQ(Tool({"run", "--stop-time", "0.1", "--csv", In("link.csv")}).code, 0);
    EXPECT_TRUE(fs::is_symlink(dir / "link.csv"));
    EXPECT_EQ(FirstLine(dir / "real" / "result.csv"), kHeader);
    ASSERT_EQ(Tool({"run", "--stop-time", "0.1", "--csv", In("link.csv")}).code, 0); // and once it exists
    EXPECT_TRUE(fs::is_symlink(dir / "link.csv"));
    ExpectOnly(dir / "real", {"result.csv"});
}

TEST_F(ToolTest, DevicesAndFifosAreWrittenThrough) {
    ASSERT_EQ(Tool({"run", "--stop-time", "0.1", "--csv", "/dev/null"}).code, 0);
    EXPECT_TRUE(fs::is_character_file("/dev/null"));
    const Outcome full = Tool({"run", "--stop-time", "0.1", "--csv", "/dev/full"});
    EXPECT_EQ(full.code, 1);
    EXPECT_TRUE(Has(full.err, "--csv /dev/full: writing to it failed")) << full.err;

    const fs::path fifo = dir / "pipe.csv";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::string received;
    std::thread reader([&] {
        std::ifstream in(fifo);
        std::stringstream text;
        text << in.rdbuf();
        received = text.str();
    });
    const Outcome o = Tool({"run", "--stop-time", "0.1", "--csv", fifo.string()});
    reader.join();
    EXPECT_EQ(o.code, 0) << o.err;
    EXPECT_EQ(received.substr(0, received.find('\n')), kHeader);
    EXPECT_TRUE(fs::is_fifo(fifo));
}
#endif

} // namespace
} // namespace dvx::tool
