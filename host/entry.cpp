// The exports a host calls before any instance exists.
#include "host/boundary.h"
#include "host/services.h"

extern "C" {

int32_t DVX_CDECL GetVersionNumber(void) { return kInterfaceVersion; }

int32_t DVX_CDECL UDCmodelOpt(void) { return kModelOptions; }

int32_t DVX_CDECL UDMInit(HostMessageCallback message, HostQueryCallback query,
                          ModelDescriptor* descriptor) {
    gMessageCallback = message;
    gQueryCallback = query;
    if (descriptor != nullptr) {
        descriptor->fixedFirst = 2;
        descriptor->instanceSize = kInstanceDataSize;
        descriptor->fixedThird = 0;
    }
    return 0;
}

} // extern "C"
