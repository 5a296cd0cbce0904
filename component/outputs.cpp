// Call types 5, 6 and 7: output name to index, index to value, and release
// of the instance's name copy.
#include "component/calls.h"
#include "component/names.h"
#include "numeric/limited.h"

#include <string.h>

namespace {

// In catalogue order: the position plus one is the output index.
const char* const kOutputNames[] = {"M1", "M2", "OMEGA1", "OMEGA2", "K"};
const uint16_t kOutputCount = 5;

} // namespace

int32_t RunOutputLookup(const char* text, double* out) {
    uint16_t index = 0;
    if (text != nullptr) {
        for (uint16_t i = 0; i < kOutputCount && index == 0; ++i)
            if (strcmp(text, kOutputNames[i]) == 0) index = static_cast<uint16_t>(i + 1);
    }
    if (out != nullptr) *out = index;
    return kStatusOk;
}

int32_t RunOutputValue(const InstanceData* instance, const double* in, double* out) {
    // The index travels as a double: truncated toward zero, low 16 bits kept.
    // NaN and values beyond the 32-bit range give index 0.
    int32_t truncated = 0;
    if (in != nullptr) TruncateToInt32(*in, &truncated);
    const uint16_t index = static_cast<uint16_t>(truncated);
    double value = 0.0;
    int32_t status = kStatusOk;
    switch (index) {
    case 1: value = instance->m1; break;
    case 2: value = instance->m2; break;
    case 3: value = instance->omega1; break;
    case 4: value = instance->omega2; break;
    case 5: value = instance->k; break;
    default: status = kStatusBadOutputIndex; break; // 0, and 6 upward: no such output
    }
    if (out != nullptr) *out = value;
    return status;
}

int32_t RunRelease(InstanceData* instance) {
    if (instance->kName != nullptr) {
        ReleaseName(instance->kName);
        instance->kName = nullptr;
    }
    return kStatusOk;
}
