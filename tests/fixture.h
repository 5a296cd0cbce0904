// Shared set-up of the suites that drive the real built library through the
// host kit: the library next to the test program, a recorder registered with
// UDMInit, and a check that every call left every lock count where it was.
#pragma once

#include "hostsim/kit/instance.h"
#include "hostsim/kit/library.h"
#include "hostsim/kit/recorder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace dvx::test {

inline host::ComponentLibrary& Library(const std::string& baseName = "Dolvanex") {
    static std::map<std::string, std::unique_ptr<host::ComponentLibrary>> libraries;
    auto& slot = libraries[baseName];
    if (!slot) slot = host::LoadComponentLibrary(host::LibraryBesideProgram(baseName));
    return *slot;
}

class ComponentTest : public ::testing::Test {
protected:
    void SetUp() override {
        recorder.Activate();
        ModelDescriptor descriptor{};
        ASSERT_EQ(lib().Init(&host::HostRecorder::Message, &host::HostRecorder::Query, &descriptor), 0);
    }

    virtual host::ComponentLibrary& lib() { return Library(); }

    host::HostInstance& NewInstance(const host::BlockLayout& layout = {}) {
        instances.push_back(std::make_unique<host::HostInstance>(lib(), layout));
        return *instances.back();
    }

    void TearDown() override {
        for (auto& instance : instances) {
            EXPECT_TRUE(instance->lockViolations.empty()) << instance->lockViolations.front();
            instance->Release();
        }
    }

    host::HostRecorder recorder;
    std::vector<std::unique_ptr<host::HostInstance>> instances;
};

} // namespace dvx::test
