// Call type 1: read the parameter text, store K or the name of the host
// quantity it refers to, reset the outputs and declare the entry counts.
#include "component/calls.h"
#include "component/fpmode.h"
#include "component/names.h"
#include "host/services.h"
#include "parse/number.h"

#include <string.h>

int32_t RunSetup(InstanceData* instance, InterfaceBlock* interfaceBlock, char* text) {
    // A repeated set-up must not leak the previous copy; ReleaseName frees it
    // only if this component made it.
    ReleaseName(instance->kName);
    instance->k = 1.0;
    instance->kName = nullptr;
    instance->omega1 = 0.0;
    instance->omega2 = 0.0;
    instance->m1 = 0.0;
    instance->m2 = 0.0;
    // Without a usable first field K is the catalogue default: the number 1.
    // Leaving the kind byte as the host's block held it would let an
    // uninitialised byte decide whether the host is asked for a quantity.
    instance->kIsNumber = 1;

    bool severalFields = false;
    if (text != nullptr) {
        char* field = text;
        bool first = true;
        for (;;) {
            char* comma = strchr(field, ',');
            if (comma != nullptr) *comma = '\0'; // split in place, as the host expects
            if (first && *field != '\0') {
                // The parse and the factor in the component's own modes: the
                // host's FTZ or DAZ would turn a denormal K into zero, and so 1.
                const FpModes hostModes = TakeOwnFpModes();
                const bool isNumber = IsNumberText(field) == 1;
                const double k = isNumber ? FactorFrom(gParseResult.value) : 1.0;
                GiveBackFpModes(&hostModes);
                if (isNumber) {
                    instance->kIsNumber = 1;
                    instance->k = k;
                } else {
                    instance->kIsNumber = 0;
                    instance->kName = CopyName(field, strlen(field));
                    if (instance->kName == nullptr)
                        SendHostMessage(kSeverityError,
                                        "Quorin1: Cannot allocate memory !\n Please check the UDC !");
                }
            }
            if (comma == nullptr) break;
            severalFields = true;
            first = false;
            field = comma + 1;
        }
    }
    if (severalFields)
        SendHostMessage(kSeverityWarning, "Quorin1: Too many parameters in model definition!");

    interfaceBlock->countAt2 = 1;
    interfaceBlock->jacobianEntries = kJacobianEntries;
    interfaceBlock->countAt6 = 0;
    return kStatusOk;
}
