// ListNodeInfo2: the catalogue of nodes, the parameter and the outputs, one
// entry per call in a single static record.
#include "host/boundary.h"
#include "host/text.h"

#include <stdio.h>

namespace {

struct CatalogueEntry {
    const char* name;
    int32_t kind;
    const char* description;
};

const char kFactorDescription[] = "Coordinate transf fact = mSuc/mPre = omgPre/omgSuc";

// Order matters: the parameter text lists parameters in this order, and the
// outputs' order gives their indices 1 to 5.
const CatalogueEntry kCatalogue[kCatalogueEntries] = {
    {"ROT1", kKindNode, "Predecessor node"},
    {"ROT2", kKindNode, "Successor node"},
    {"K", kKindParameter, kFactorDescription},
    {"M1", kKindOutput, "Torque [Nm] supplied by predecessor"},
    {"M2", kKindOutput, "Torque [Nm] supplied to successor"},
    {"OMEGA1", kKindOutput, "Predecessor angular velocity [rad/s]"},
    {"OMEGA2", kKindOutput, "Successor angular velocity [rad/s]"},
    {"K", kKindOutput, kFactorDescription},
};

const double kFactorDefault = 1.0;

// One record for the whole module. Fields an entry does not write keep what
// the previous call left; the host reads only those of the entry's kind.
NodeInfo gNodeInfo;

} // namespace

extern "C" NodeInfo* DVX_CDECL ListNodeInfo2(int32_t index) {
    if (static_cast<uint32_t>(index) >= kCatalogueEntries) return nullptr;
    const CatalogueEntry& entry = kCatalogue[index];
    char scratch[60];
    BoundedCopy(gNodeInfo.name, sizeof gNodeInfo.name, entry.name);
    gNodeInfo.kind = entry.kind;
    snprintf(scratch, sizeof scratch, "%s", entry.description);
    BoundedCopy(gNodeInfo.description, sizeof gNodeInfo.description, scratch);
    if (entry.kind == kKindParameter) {
        snprintf(scratch, sizeof scratch, "%g", kFactorDefault);
        BoundedCopy(gNodeInfo.defaultValue, sizeof gNodeInfo.defaultValue, scratch);
    } else if (entry.kind == kKindNode) {
        BoundedCopy(gNodeInfo.nature, sizeof gNodeInfo.nature, "ROTATIONAL_V");
    }
    return &gNodeInfo;
}
