// Full instance lives through the host kit, meant to run under valgrind
// memcheck (CTest does so natively): memcheck reports any invalid access and,
// at exit, anything lost or still reachable.
//
// The component keeps its name copies in a registry that stays reachable, so
// a copy it forgot would not show as lost at exit, and the registry frees
// whatever is left when the library unloads. The program therefore also asks
// memcheck, after every life, how much heap is in use: once every instance
// is released and its blocks freed, that must be what it was before the life.
//
// Lives: many instances at once (the registry grows twice), named and
// numeric factors, repeated set-up, layout, steps, outputs, release twice;
// then the same life on the test build of the library with each allocation
// of the component failing in turn; last, a lone name whose copy fails.
#include "hostsim/kit/instance.h"
#include "tests/instance_record.h"
#include "hostsim/kit/native_library.h"
#include "hostsim/kit/recorder.h"

#include <valgrind/memcheck.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace dvx::host;
using dvx::test::ReadInstance;

constexpr size_t kInstances = 24;
const char kNoMemory[] = "Quorin1: Cannot allocate memory !\n Please check the UDC !";

int gFailures = 0;

void Check(bool ok, const std::string& what) {
    if (ok) return;
    std::fprintf(stderr, "FAILED: %s\n", what.c_str());
    ++gFailures;
}

// Heap in use as memcheck counts it (zeros when not under valgrind).
struct HeapUse {
    unsigned long bytes = 0;
    unsigned long blocks = 0;
    bool operator==(const HeapUse&) const = default;
};

HeapUse HeapInUse() {
    VALGRIND_DO_QUICK_LEAK_CHECK;
    unsigned long leaked = 0, dubious = 0, reachable = 0, suppressed = 0;
    HeapUse use;
    VALGRIND_COUNT_LEAKS(leaked, dubious, reachable, suppressed);
    use.bytes = leaked + dubious + reachable + suppressed;
    VALGRIND_COUNT_LEAK_BLOCKS(leaked, dubious, reachable, suppressed);
    use.blocks = leaked + dubious + reachable + suppressed;
    return use;
}

// One life of kInstances instances. Returns the number of allocation-failure
// messages the component sent.
size_t Life(const ComponentLibrary& lib, HostRecorder& recorder, const std::string& label) {
    recorder.Clear();
    std::vector<std::unique_ptr<HostInstance>> placed;
    std::vector<std::string> names;
    for (size_t i = 0; i < kInstances; ++i) {
        placed.push_back(std::make_unique<HostInstance>(lib));
        names.push_back(i % 6 == 5 ? "" : "QUANTITY_" + std::to_string(i));
        const std::string text = names.back().empty() ? std::to_string(i) + ".5k" : names.back() + ",2";
        Check(placed.back()->Setup(text).status == kStatusOk, label + ": set-up");
    }
    // Repeated set-up: a new name, a name that becomes a number, a number that becomes a name.
    Check(placed[0]->Setup("RENAMED").status == kStatusOk, label + ": repeated set-up");
    names[0] = "RENAMED";
    Check(placed[1]->Setup("3").status == kStatusOk, label + ": repeated set-up");
    names[1] = "";
    Check(placed[5]->Setup("NAMED_NOW").status == kStatusOk, label + ": repeated set-up");
    names[5] = "NAMED_NOW";

    for (auto& instance : placed) {
        Check(instance->Layout() == kStatusOk, label + ": layout");
        for (int step = 0; step < 3; ++step) Check(instance->Step(4.0, 2.0, static_cast<double>(step)) == kStatusOk, label + ": step");
        int32_t status = -1;
        Check(instance->Lookup("OMEGA2", &status) == 4.0 && status == kStatusOk, label + ": lookup");
        Check(instance->Value(2.0, &status) == 2.0 * ReadInstance(*instance).k, label + ": output M2");
    }

    size_t withoutCopy = 0;
    for (size_t i = 0; i < kInstances; ++i) {
        const InstanceData data = ReadInstance(*placed[i]);
        if (names[i].empty())
            Check(data.kIsNumber == 1 && data.kName == nullptr, label + ": numeric K");
        else if (data.kName == nullptr)
            ++withoutCopy;
        else
            Check(std::strcmp(data.kName, names[i].c_str()) == 0, label + ": name copy of " + names[i]);
    }

    for (auto& instance : placed) {
        Check(instance->Release() == kStatusOk && instance->Release() == kStatusOk, label + ": release twice");
        Check(ReadInstance(*instance).kName == nullptr, label + ": name left after release");
        Check(instance->lockViolations.empty(), label + ": lock counts");
    }

    size_t noMemory = 0;
    for (const MessageRecord& m : recorder.messages) {
        if (m.text == kNoMemory && m.severity == 3)
            ++noMemory;
        else if (m.text.find("Too many parameters") == std::string::npos)
            Check(false, label + ": unexpected message " + m.text);
    }
    Check(withoutCopy <= noMemory, label + ": a name missing without a message");
    recorder.messages = {};
    recorder.queries = {};
    return noMemory;
}

} // namespace

int main() {
    HostRecorder recorder;
    recorder.recordQueries = false;
    recorder.Activate();
    ModelDescriptor descriptor{};

    {
        NativeLibrary product(LibraryBesideProgram("Dolvanex"));
        product.Init(&HostRecorder::Message, &HostRecorder::Query, &descriptor);
        Life(product, recorder, "warm-up"); // the memory layer keeps its slot tables
        const HeapUse before = HeapInUse();
        Check(Life(product, recorder, "product") == 0, "product: allocation failure without injection");
        // Measured before the message text of Check exists.
        const HeapUse after = HeapInUse();
        Check(after == before, "product: heap in use differs after the last release");
    }

    NativeLibrary faulty(LibraryBesideProgram("DolvanexFaulty"));
    const auto fail = [&](int32_t skip, int32_t count) {
        const int32_t arguments[] = {skip, count};
        faulty.CallExport("DvxFailAllocations", arguments);
    };
    if (!faulty.HasExport("DvxFailAllocations")) {
        std::fprintf(stderr, "FAILED: the test build lacks DvxFailAllocations\n");
        return 1;
    }
    faulty.Init(&HostRecorder::Message, &HostRecorder::Query, &descriptor);
    Life(faulty, recorder, "warm-up");
    const HeapUse before = HeapInUse();
    int32_t skip = 0;
    for (; skip < 1000; ++skip) {
        fail(skip, 1);
        char label[64]; // not on the heap: it is alive while the heap is measured
        std::snprintf(label, sizeof label, "allocation %d failing", static_cast<int>(skip));
        const size_t failures = Life(faulty, recorder, label);
        fail(0, 0);
        const HeapUse after = HeapInUse();
        Check(after == before, std::string(label) + ": heap in use differs after the last release");
        Check(failures <= 1, std::string(label) + ": more than one failure reported");
        if (failures == 0) break; // every allocation of the life has failed once
    }
    Check(static_cast<size_t>(skip) > kInstances, "the sweep ended before every name copy had failed");

    // The registry is made for the first copy; when that copy then fails,
    // the empty registry must go too (found by the call-sequence fuzzer).
    {
        HostInstance lone(faulty);
        fail(1, 1);
        lone.Setup("RATIO");
        fail(0, 0);
        Check(ReadInstance(lone).kName == nullptr, "lone name: the copy did not fail");
        Check(lone.Release() == kStatusOk, "lone name: release");
    }
    recorder.messages = {};
    const HeapUse afterLone = HeapInUse();
    Check(afterLone == before, "lone name: an empty registry outlives the failed copy");
    std::printf("%d allocation(s) failed in turn; %d failure(s)\n", skip, gFailures);
    return gFailures == 0 ? 0 : 1;
}
