// A component library for the host simulator's tests: an ideal gear that a
// test can make misbehave in one chosen way through the extra export
// BrokenSetFault. Built a second time without UDMMain (DVX_BROKEN_NO_MAIN)
// as a library that lacks an export. The parameter text "abort" ends the
// process at set-up, as a crashing component would: the batch's worker
// tests run variants through it.
#include "component/instance.h"
#include "host/boundary.h"
#include "platform/memory.h"

#include <cstdlib>
#include <cstring>

extern "C" DVX_EXPORT void DVX_CDECL BrokenSetFault(int32_t fault);

namespace {

enum Fault {
    kNone = 0,
    kStepStatus = 1,      // every step returns 28003
    kStepKeepsLock = 2,   // every step leaves InstanceData locked
    kZeroHandleOk = 3,    // a zero handle gives 0 instead of 28195
    kLayoutError = 4,     // layout sends a severity-3 message
    kWrongEntrySign = 5,  // the gear's torque enters ROT2 with +K instead of -K
};

int32_t gFault = kNone;
HostMessageCallback gMessage = nullptr;

struct Record {
    double k;
    double m1, m2, omega1, omega2;
};

} // namespace

extern "C" void DVX_CDECL BrokenSetFault(int32_t fault) { gFault = fault; }

int32_t DVX_CDECL GetVersionNumber(void) { return 2; }
int32_t DVX_CDECL UDCmodelOpt(void) { return 9; }

int32_t DVX_CDECL UDMInit(HostMessageCallback message, HostQueryCallback, ModelDescriptor* descriptor) {
    gMessage = message;
    descriptor->fixedFirst = 2;
    descriptor->instanceSize = static_cast<uint16_t>(sizeof(Record));
    descriptor->fixedThird = 0;
    return 0;
}

NodeInfo* DVX_CDECL ListNodeInfo2(int32_t index) {
    static NodeInfo info;
    static const char* const names[] = {"ROT1", "ROT2", "K", "M1", "M2", "OMEGA1", "OMEGA2", "K"};
    static const int32_t kinds[] = {1, 1, 2, 3, 3, 3, 3, 3};
    if (index < 0 || index > 7) return nullptr;
    std::memset(&info, 0, sizeof info);
    std::strcpy(info.name, names[index]);
    info.kind = kinds[index];
    std::strcpy(info.description, "test gear");
    std::strcpy(info.defaultValue, "1");
    std::strcpy(info.nature, "ROTATIONAL_V");
    return &info;
}

#if !defined(DVX_BROKEN_NO_MAIN)
int32_t DVX_CDECL UDMMain(int32_t callType, char* text, double* in, double* out, DvxHandle instanceHandle,
                          DvxHandle interfaceHandle) {
    if ((instanceHandle == 0 || interfaceHandle == 0) && gFault != kZeroHandleOk) return kStatusMissingHandle;
    if (instanceHandle == 0 || interfaceHandle == 0) return kStatusOk;
    auto* r = static_cast<Record*>(MemLock(instanceHandle));
    auto* ib = static_cast<InterfaceBlock*>(MemLock(interfaceHandle));
    if (r == nullptr || ib == nullptr) {
        if (r != nullptr) MemUnlock(instanceHandle);
        if (ib != nullptr) MemUnlock(interfaceHandle);
        return kStatusLockFailed;
    }
    int32_t status = kStatusOk;
    auto* vector = static_cast<uint8_t*>(callType == 2 || callType == 3 ? MemLock(ib->vectorHandle) : nullptr);
    auto* matrix = static_cast<uint8_t*>(callType == 2 || callType == 3 ? MemLock(ib->matrixHandle) : nullptr);
    if ((callType == 2 || callType == 3) && (vector == nullptr || matrix == nullptr)) status = kStatusLockFailed;
    if (status == kStatusOk) {
        switch (callType) {
        case 1:
            if (text != nullptr && std::strcmp(text, "abort") == 0) std::abort();
            *r = Record{text != nullptr ? std::strtod(text, nullptr) : 1.0, 0, 0, 0, 0};
            if (r->k == 0.0) r->k = 1.0;
            ib->jacobianEntries = 8;
            break;
        case 2:
        case 3: {
            auto* rows = reinterpret_cast<int32_t*>(matrix + ib->rowsOffset);
            auto* cols = reinterpret_cast<int32_t*>(matrix + ib->columnsOffset);
            auto* values = reinterpret_cast<double*>(matrix + ib->valuesOffset);
            const int32_t layoutRows[] = {0, 2, 1, 2, 0, 0, 1, 1}, layoutCols[] = {2, 0, 2, 1, 0, 1, 0, 1};
            const double ownSign = gFault == kWrongEntrySign ? 1.0 : -1.0;
            const double layoutValues[] = {1.0, -1.0 / r->k, ownSign * r->k, 1.0, 0, 0, 0, 0};
            for (int e = 0; e < 8; ++e) {
                rows[e] = layoutRows[e];
                cols[e] = layoutCols[e];
                values[e] = layoutValues[e];
            }
            const auto* vars = reinterpret_cast<const double*>(vector + ib->variablesOffset);
            auto* rhs = reinterpret_cast<double*>(vector + ib->rhsOffset);
            if (callType == 3) {
                r->omega1 = vars[0];
                r->omega2 = vars[1];
                r->m1 = vars[2];
                r->m2 = vars[2] * r->k;
                rhs[0] = rhs[1] = rhs[2] = 0.0;
                if (gFault == kStepStatus) status = kStatusLockFailed;
                if (gFault == kStepKeepsLock) MemLock(instanceHandle);
            } else if (gFault == kLayoutError) {
                gMessage(3, "test gear: layout went wrong");
            }
            break;
        }
        case 5: {
            const char* const outputs[] = {"M1", "M2", "OMEGA1", "OMEGA2", "K"};
            *out = 0.0;
            for (int i = 0; i < 5; ++i)
                if (std::strcmp(text, outputs[i]) == 0) *out = i + 1;
            break;
        }
        case 6: {
            const double values[] = {r->m1, r->m2, r->omega1, r->omega2, r->k};
            const int index = static_cast<int>(*in);
            if (index >= 1 && index <= 5) *out = values[index - 1];
            else status = kStatusBadOutputIndex;
            break;
        }
        default: break;
        }
    }
    if (vector != nullptr) MemUnlock(ib->vectorHandle);
    if (matrix != nullptr) MemUnlock(ib->matrixHandle);
    MemUnlock(interfaceHandle);
    MemUnlock(instanceHandle);
    return status;
}
#endif
