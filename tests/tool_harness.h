// The command-line tool called in-process, with a fresh temporary directory
// per test: what the tool tests share.
#pragma once

#include "hostsim/tool/tool.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

namespace dvx::tool {

namespace fs = std::filesystem;

struct Outcome {
    int code = 0;
    std::string out, err;
};

inline Outcome Tool(std::vector<std::string> args) {
    args.insert(args.begin(), "dolvanex-host");
    std::vector<const char*> argv;
    for (const std::string& a : args) argv.push_back(a.c_str());
    std::ostringstream out, err;
    Outcome o;
    o.code = ToolMain(static_cast<int>(argv.size()), argv.data(), out, err);
    o.out = out.str();
    o.err = err.str();
    return o;
}

inline bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

inline void SetEnv(const char* name, const char* value) {
#if defined(_WIN32)
    _putenv_s(name, value);
#else
    setenv(name, value, 1);
#endif
}

class ToolTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("dvx-tool-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
    std::string In(const char* name) const { return (dir / name).string(); }
    fs::path dir;
};

} // namespace dvx::tool
