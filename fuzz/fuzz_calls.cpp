// libFuzzer target of UDMMain as a host drives it: the fuzz input is a
// program of host actions over a few placed instances (calls of every call
// type in any order, with good and bad handles, parameter texts, indices and
// output targets; rewrites of the InterfaceBlock's handles, offsets and
// counts; new variable values; registration of real or null callbacks; locks
// the host holds across calls; allocation failures inside the component).
// The World checks every call and, at the end, that releasing every instance
// leaves the component holding nothing.
#include "fuzz/call_world.h"

#include "component/instance.h"
#include "host/boundary.h"

#include <cstdlib>
#include <cstring>
#include <string>

namespace dvx::fuzz {
namespace {

constexpr int kMaxActions = 48;

// Texts that reach the interesting paths at once; the fuzz may also write its own.
const char* const kTexts[] = {"2",     "0",      "-0",   "1e17",  "-3e20", "2.5k",   "RATIO", "RATIO,2",
                              ",2",    "2,",     "2,5",  ",",     "",      "  ",     "M1",    "M2",
                              "OMEGA1", "OMEGA2", "K",    "k",     "1e-310", "q",     "RATIO ", "1E308"};

// A parameter or output text in a heap buffer of exactly its size, or null.
class TextArgument {
public:
    explicit TextArgument(FuzzedDataProvider& data) {
        const int kind = data.ConsumeIntegralInRange<int>(0, 3);
        if (kind == 0) return;
        std::string text;
        if (kind == 1)
            text = data.ConsumeRandomLengthString(400);
        else if (kind == 2)
            text = data.PickValueInArray(kTexts);
        else
            text = std::string(data.ConsumeIntegralInRange<size_t>(127, 300), 'Q') + ",1";
        buffer_ = static_cast<char*>(std::malloc(text.size() + 1));
        std::memcpy(buffer_, text.c_str(), text.size() + 1);
    }
    ~TextArgument() { std::free(buffer_); }
    TextArgument(const TextArgument&) = delete;
    TextArgument& operator=(const TextArgument&) = delete;
    char* get() { return buffer_; }

private:
    char* buffer_ = nullptr;
};

HandleChoice PickHandle(FuzzedDataProvider& data) {
    // The instance's own block most of the time, so that deep states are reached.
    if (data.ConsumeIntegralInRange<int>(0, 3) != 0) return HandleChoice::Own;
    return static_cast<HandleChoice>(data.ConsumeIntegralInRange<int>(0, static_cast<int>(HandleChoice::Count) - 1));
}

int32_t PickCallType(FuzzedDataProvider& data) {
    const int32_t pick = data.PickValueInArray<int32_t>(
        {kCallSetup, kCallLayout, kCallStep, kCallStep, kCallOutputLookup, kCallOutputValue, kCallOutputValue,
         kCallRelease, kCallNothing, 0, 8, -1, INT32_MIN, INT32_MAX, 65537});
    return pick == 65537 ? data.ConsumeIntegral<int32_t>() : pick;
}

void CallAction(World& world, FuzzedDataProvider& data, size_t index) {
    const int32_t callType = PickCallType(data);
    const uint32_t instanceHandle = world.InstanceArgument(index, PickHandle(data));
    const uint32_t interfaceHandle = world.InterfaceArgument(index, PickHandle(data));
    TextArgument text(data);
    double inValue = FuzzDouble(data);
    double outValue = -7.0;
    double* in = data.ConsumeIntegralInRange<int>(0, 7) != 0 ? &inValue : nullptr;
    double* out = data.ConsumeIntegralInRange<int>(0, 7) != 0 ? &outValue : nullptr;
    world.Call(callType, text.get(), in, out, instanceHandle, interfaceHandle);
}

// The regular life of one instance, so that the fuzz starts from deep states.
void LifeAction(World& world, FuzzedDataProvider& data, size_t index) {
    const PlacedInstance& p = world.Placed(index);
    TextArgument text(data);
    world.Call(kCallSetup, text.get(), nullptr, nullptr, p.instance, p.interfaceBlock);
    world.Call(kCallLayout, nullptr, nullptr, nullptr, p.instance, p.interfaceBlock);
    for (int step = data.ConsumeIntegralInRange<int>(0, 3); step > 0; --step)
        world.Call(kCallStep, nullptr, nullptr, nullptr, p.instance, p.interfaceBlock);
    for (double output = 0.0; output <= 6.0; output += 1.0) {
        double value = 0.0;
        world.Call(kCallOutputValue, nullptr, &output, &value, p.instance, p.interfaceBlock);
    }
}

void WriteInterfaceAction(World& world, FuzzedDataProvider& data, size_t index) {
    const PlacedInstance& p = world.Placed(index);
    const int field = data.ConsumeIntegralInRange<int>(0, 8);
    if (field <= 1) {
        const uint32_t handle = world.FurtherHandle(index, field == 1, PickHandle(data));
        world.WriteBytes(p.interfaceBlock, field == 1 ? offsetof(InterfaceBlock, matrixHandle)
                                                      : offsetof(InterfaceBlock, vectorHandle),
                         &handle, sizeof handle);
        return;
    }
    static const size_t kFields[] = {offsetof(InterfaceBlock, variablesOffset), offsetof(InterfaceBlock, rhsOffset),
                                     offsetof(InterfaceBlock, columnsOffset),   offsetof(InterfaceBlock, rowsOffset),
                                     offsetof(InterfaceBlock, valuesOffset),    offsetof(InterfaceBlock, jacobianEntries),
                                     offsetof(InterfaceBlock, countAt2)};
    const size_t at = kFields[field - 2];
    const bool vectorField = field <= 3;
    const size_t target = world.SizeOf(vectorField ? p.vector : p.matrix);
    uint16_t value = 0;
    switch (data.ConsumeIntegralInRange<int>(0, 3)) {
    case 0: value = data.ConsumeIntegral<uint16_t>(); break;
    case 1: value = static_cast<uint16_t>(data.PickValueInArray<int>({0, 3, 7, 8, 9, 10, 65535})); break;
    default: // odd or even, near the end of the block it points into
        value = data.ConsumeIntegralInRange<uint16_t>(0, static_cast<uint16_t>(target < 65000 ? target + 16 : 65535));
        break;
    }
    world.WriteBytes(p.interfaceBlock, at, &value, sizeof value);
}

void WriteVariablesAction(World& world, FuzzedDataProvider& data, size_t index) {
    const PlacedInstance& p = world.Placed(index);
    const double values[3] = {FuzzDouble(data), FuzzDouble(data), FuzzDouble(data)};
    const size_t size = world.SizeOf(p.vector);
    const size_t offset = data.ConsumeIntegralInRange<size_t>(0, size);
    world.WriteBytes(p.vector, offset, values, sizeof values);
}

void PinAction(World& world, FuzzedDataProvider& data, size_t index) {
    const PlacedInstance& p = world.Placed(index);
    world.Pin(data.PickValueInArray<uint32_t>({p.instance, p.interfaceBlock, p.vector, p.matrix}));
}

void CatalogueAction(FuzzedDataProvider& data) {
    const int32_t entry = data.PickValueInArray<int32_t>({0, 1, 2, 3, 4, 5, 6, 7, 8, -1, INT32_MIN, INT32_MAX});
    const NodeInfo* info = ComponentCatalogue(entry);
    if ((info != nullptr) != (entry >= 0 && entry < kCatalogueEntries)) Fail("catalogue entry and index disagree");
    if (info != nullptr && (strnlen(info->name, kNodeTextSize) == kNodeTextSize ||
                            strnlen(info->description, kNodeTextSize) == kNodeTextSize))
        Fail("catalogue text without its terminator");
    if (ComponentVersion() != kInterfaceVersion || ComponentOptions() != kModelOptions)
        Fail("version or options changed");
}

} // namespace
} // namespace dvx::fuzz

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    dvx::fuzz::StartFuzzHost();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    using namespace dvx::fuzz;
    FuzzedDataProvider data(bytes, size);
    FailAllocations(0, 0);
    // The callbacks are registered first or not at all, as a fresh process
    // would have them; later actions may register them again.
    RegisterCallbacks(data);
    {
        World world(data);
        for (int action = 0; action < kMaxActions && data.remaining_bytes() != 0; ++action) {
            const size_t index = data.ConsumeIntegralInRange<size_t>(0, kInstances - 1);
            switch (data.ConsumeIntegralInRange<int>(0, 11)) {
            case 0: case 1: case 2: case 3: CallAction(world, data, index); break;
            case 4: LifeAction(world, data, index); break;
            case 5: case 6: WriteInterfaceAction(world, data, index); break;
            case 7: WriteVariablesAction(world, data, index); break;
            case 8: RegisterCallbacks(data); break;
            case 9: PinAction(world, data, index); break;
            case 10:
                FailAllocations(data.ConsumeIntegralInRange<int32_t>(0, 3), data.ConsumeIntegralInRange<int32_t>(0, 2));
                break;
            default: CatalogueAction(data); break;
            }
        }
        FailAllocations(0, 0);
        world.ReleaseAllAndCheckHeap();
    }
    return 0;
}
