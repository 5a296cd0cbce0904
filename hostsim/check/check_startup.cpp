// Conformance checks of what happens before any instance exists: the
// version and option exports, UDMInit and the catalogue.
#include "hostsim/check/check.h"

#include <cstring>
#include <set>

namespace dvx::sim {

namespace {

bool Terminated(const char* field, size_t size) { return std::memchr(field, '\0', size) != nullptr; }

std::string Text(const char* field, size_t size) { return std::string(field, strnlen(field, size)); }

} // namespace

void CheckStartup(Checker& c) {
    const int32_t version = c.lib.GetVersionNumber();
    const int32_t options = c.lib.ModelOptions();
    c.Expect(version == kInterfaceVersion, "GetVersionNumber answers interface version 2",
             "it answers " + std::to_string(version));
    const int32_t init = c.lib.Init(&host::HostRecorder::Message, &host::HostRecorder::Query, &c.descriptor);
    c.Expect(init == 0, "UDMInit returns 0", "it returns " + std::to_string(init));
    c.Expect(c.descriptor.instanceSize > 0, "UDMInit announces the size of the instance record",
             "the descriptor's size field is 0");
    c.Expect(c.lib.GetVersionNumber() == version && c.lib.ModelOptions() == options,
             "GetVersionNumber and UDCmodelOpt answer the same before and after UDMInit",
             "an answer changed after UDMInit");
    ModelDescriptor again;
    std::memset(&again, 0xFF, sizeof again);
    c.lib.Init(&host::HostRecorder::Message, &host::HostRecorder::Query, &again);
    c.Expect(again.fixedFirst == c.descriptor.fixedFirst && again.instanceSize == c.descriptor.instanceSize &&
                 again.fixedThird == c.descriptor.fixedThird,
             "a repeated UDMInit writes the same descriptor over whatever the host left in it",
             "the second descriptor reads " + std::to_string(again.fixedFirst) + ", " +
                 std::to_string(again.instanceSize) + ", " + std::to_string(again.fixedThird));
    c.Expect(c.recorder.messages.empty(), "start-up sends no messages",
             c.recorder.messages.empty() ? "" : "it sent \"" + c.recorder.messages.front().text + "\"");
}

void CheckCatalogue(Checker& c) {
    std::vector<std::string> nodes, natures, problems;
    std::set<std::string> outputNames;
    int32_t count = 0;
    for (; count < 256; ++count) {
        const NodeInfo* info = c.lib.ListNodeInfo(count);
        if (info == nullptr) break;
        const std::string at = "entry " + std::to_string(count);
        if (!Terminated(info->name, kNodeTextSize) || !Terminated(info->description, kNodeTextSize))
            problems.push_back(at + " has a name or description without its terminator within 51 bytes");
        if (info->kind < kKindNode || info->kind > kKindOutput)
            problems.push_back(at + " has kind " + std::to_string(info->kind) + " (1, 2 or 3 expected)");
        const std::string name = Text(info->name, kNodeTextSize);
        if (name.empty()) problems.push_back(at + " has an empty name");
        if (info->kind == kKindNode) {
            nodes.push_back(name);
            if (!Terminated(info->nature, kNodeTextSize)) problems.push_back(at + " has an unterminated nature");
            natures.push_back(Text(info->nature, kNodeTextSize));
        }
        if (info->kind == kKindParameter && !Terminated(info->defaultValue, kDefaultValueSize))
            problems.push_back(at + " has a default value without its terminator within 256 bytes");
        if (info->kind == kKindOutput) {
            if (!outputNames.insert(name).second) problems.push_back(at + " repeats the output name " + name);
            c.outputs.push_back(name);
        }
    }
    c.Expect(count < 256, "ListNodeInfo2 ends its catalogue with null", "256 entries and still no null");
    c.Expect(problems.empty(), "every catalogue entry has terminated texts, a known kind and a unique name",
             problems.empty() ? "" : problems.front());
    c.Expect(c.lib.ListNodeInfo(-1) == nullptr && c.lib.ListNodeInfo(count + 1) == nullptr &&
                 c.lib.ListNodeInfo(INT32_MAX) == nullptr,
             "indices -1, one past the end and INT32_MAX give null", "a non-null record came back");
    c.Expect(nodes == std::vector<std::string>{"ROT1", "ROT2"} &&
                 natures == std::vector<std::string>{"ROTATIONAL_V", "ROTATIONAL_V"},
             "the nodes are ROT1 and ROT2 of nature ROTATIONAL_V", std::to_string(nodes.size()) + " other nodes");
    bool all = true;
    for (const char* name : {"M1", "M2", "OMEGA1", "OMEGA2", "K"}) all = all && outputNames.count(name) > 0;
    c.Expect(all, "the outputs M1, M2, OMEGA1, OMEGA2 and K are listed", "one of them is missing");
}

} // namespace dvx::sim
