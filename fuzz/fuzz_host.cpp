// The fuzz host's callbacks.
#include "fuzz/fuzz_host.h"

#include "component/instance.h"
#include "host/boundary.h"

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace dvx::fuzz {

namespace {

// State the callbacks need; the component calls them through plain pointers.
FuzzedDataProvider* gData = nullptr;
uint32_t gCallInstanceHandle = 0;

// DVX_FUZZ_TRACE=1 prints every call, to turn a finding into a regression test.
bool gTrace = false;
const char* gInputName = nullptr;

// The host's own work inside a callback is not the component's.
class HostTurn {
public:
    HostTurn() : saved_(SetInComponent(false)) {}
    ~HostTurn() { SetInComponent(saved_); }
    HostTurn(const HostTurn&) = delete;
    HostTurn& operator=(const HostTurn&) = delete;

private:
    bool saved_;
};

int32_t DVX_CDECL OnMessage(int32_t severity, const char* text) {
    HostTurn turn;
    if (severity != kSeverityWarning && severity != kSeverityError) Fail("message severity is not 2 or 3");
    if (text == nullptr) Fail("null message text");
    // Reading up to the terminator is what a host does; AddressSanitizer
    // reports a text that runs off its buffer.
    const size_t length = std::strlen(text);
    if (length < 7 || std::strncmp(text, "Quorin1", 7) != 0) Fail("message without the Quorin1 prefix");
    return 0;
}

void AnswerInstanceName(char* buffer, intptr_t argument) {
    const size_t room = static_cast<size_t>(argument);
    switch (gData->ConsumeIntegralInRange<int>(0, 3)) {
    case 0: { // a terminated name of fuzz length
        const size_t length = gData->ConsumeIntegralInRange<size_t>(0, room - 1);
        std::memset(buffer, 'n', length);
        gData->ConsumeData(buffer, length);
        buffer[length] = '\0';
        break;
    }
    case 1: // every byte used, no terminator
        std::memset(buffer, 'N', room);
        gData->ConsumeData(buffer, room);
        for (size_t i = 0; i < room; ++i)
            if (buffer[i] == '\0') buffer[i] = 'x';
        break;
    default: break; // the buffer stays as it was
    }
}

int32_t DVX_CDECL OnQuery(intptr_t code, intptr_t second, intptr_t third, intptr_t fourth) {
    HostTurn turn;
    FuzzedDataProvider& data = *gData;
    switch (code) {
    case kQueryReference: {
        const auto* name = reinterpret_cast<const char*>(second);
        if (name == nullptr) Fail("reference query without a name");
        // The only name the component may hand over is its own heap copy.
        if (!IsLiveHeapCopy(name)) Fail("reference query with a name that is no live heap copy");
        (void)std::strlen(name);
        auto* reference = reinterpret_cast<double*>(fourth);
        if (reference == nullptr) Fail("reference query without room for the answer");
        reference[0] = FuzzDouble(data);
        reference[1] = FuzzDouble(data);
        return 0;
    }
    case kQueryValue: {
        const auto* reference = reinterpret_cast<const double*>(third);
        auto* value = reinterpret_cast<double*>(fourth);
        if (reference == nullptr || value == nullptr) Fail("value query without its reference or answer");
        if (std::isnan(reference[0]) || std::isnan(reference[1])) Fail("value query with a NaN reference");
        if (data.ConsumeBool()) *value = FuzzDouble(data); // else: the host leaves it unanswered
        return 0;
    }
    case kQueryService: {
        const auto* request = reinterpret_cast<const HostServiceRequest*>(third);
        if (request == nullptr) Fail("service request without its record");
        if (request->selector != 4.0) Fail("service request with a selector other than 4");
        if (request->handle != gCallInstanceHandle) Fail("instance-name request for another handle");
        if (fourth != kInstanceNameSize || second == 0) Fail("instance-name request without its 260-byte buffer");
        AnswerInstanceName(reinterpret_cast<char*>(second), fourth);
        return data.PickValueInArray<int32_t>({0, 0, 1, -1, 28003});
    }
    default: Fail("query with an unknown code");
    }
}

} // namespace

void Fail(const char* what) {
    std::fprintf(stderr, "call-sequence property violated: %s\n", what);
    if (gInputName != nullptr) std::fprintf(stderr, "by the input %s\n", gInputName);
    std::abort();
}

double FuzzDouble(FuzzedDataProvider& data) {
    static const double kValues[] = {
        0.0, -0.0, std::numeric_limits<double>::quiet_NaN(), -std::numeric_limits<double>::quiet_NaN(),
        INFINITY, -INFINITY, 1e300, -1e300, 1e16, -1e16, 3e17, -3e17, 1.0, 2.0, -4.0, 0.5, 7.9, -2.5,
        2147483647.0, 2147483648.0, -2147483648.0, -2147483649.0, 4294967296.0, 1e-320, DBL_MAX, -DBL_MAX,
        DBL_MIN, 5.9, 6.0, 65537.0, 1e10, -1.0, 0.99, 3.0, 4.0, 5.0, 10.0};
    constexpr size_t kCount = sizeof kValues / sizeof kValues[0];
    const size_t pick = data.ConsumeIntegralInRange<size_t>(0, kCount);
    if (pick < kCount) return kValues[pick];
    const uint64_t bits = data.ConsumeIntegral<uint64_t>();
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

void RegisterCallbacks(FuzzedDataProvider& data) {
    gData = &data;
    ModelDescriptor descriptor{};
    const int mode = data.ConsumeIntegralInRange<int>(0, 4);
    HostMessageCallback message = mode == 0 || mode == 3 ? nullptr : &OnMessage;
    HostQueryCallback query = mode == 0 || mode == 4 ? nullptr : &OnQuery;
    ComponentInit(message, query, mode == 2 ? nullptr : &descriptor);
    if (mode != 2 && (descriptor.fixedFirst != 2 || descriptor.instanceSize != kInstanceDataSize ||
                      descriptor.fixedThird != 0))
        Fail("UDMInit wrote another descriptor");
}

void StartFuzzHost() {
    InstallHeapTracking();
    gTrace = std::getenv("DVX_FUZZ_TRACE") != nullptr;
}

void BeginComponentCall(uint32_t instanceHandle) {
    gCallInstanceHandle = instanceHandle;
    SetInComponent(true);
}

void EndComponentCall() { SetInComponent(false); }

bool Tracing() { return gTrace; }

void SetInputName(const char* name) { gInputName = name; }

} // namespace dvx::fuzz
