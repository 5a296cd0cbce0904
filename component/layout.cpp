// Call type 2: fetch the instance name, resolve a named K, write the eight
// Jacobian entries and compare their count with the declared one.
#include "component/calls.h"
#include "component/names.h"
#include "host/services.h"
#include "numeric/limited.h"

namespace {

// Positions 0 to 3: the coupling group; 4 to 7: the node-to-node positions,
// reserved with value 0. In the local numbering, variables are 0 omega of
// ROT1, 1 omega of ROT2, 2 the predecessor torque; equations are 0 node ROT1,
// 1 node ROT2, 2 the transformation's own: -omega1/K + omega2 = 0.
const int32_t kRows[kJacobianEntries] = {0, 2, 1, 2, 0, 0, 1, 1};
const int32_t kColumns[kJacobianEntries] = {2, 0, 2, 1, 0, 1, 0, 1};

bool MatrixHoldsEntries(const InterfaceBlock* interfaceBlock, BlockView matrix, size_t entries) {
    return BlockHolds(matrix, interfaceBlock->columnsOffset, sizeof(int32_t), entries) &&
           BlockHolds(matrix, interfaceBlock->rowsOffset, sizeof(int32_t), entries) &&
           BlockHolds(matrix, interfaceBlock->valuesOffset, sizeof(double), entries);
}

} // namespace

void RefreshNamedFactor(InstanceData* instance) {
    // A named K whose name could not be copied has nothing to ask the host
    // about; it keeps the factor it has.
    if (instance->kName == nullptr) return;
    const double reference[2] = {static_cast<double>(instance->kRefFirst),
                                 static_cast<double>(instance->kRefSecond)};
    double value = 0.0;
    QueryValue(reference, &value);
    instance->k = FactorFrom(value);
}

int32_t RunLayout(InstanceData* instance, const InterfaceBlock* interfaceBlock, const FurtherBlocks* blocks,
                  DvxHandle instanceHandle) {
    if (RequestSelector4(gQueryCallback, instance->instanceName, kInstanceNameSize, instanceHandle) != 0)
        ReportForInstance(kSeverityWarning, instance, "Error retrieving model instance name !");

    // Only a copy that set-up made is a name: before any set-up kName holds
    // whatever the host's fresh block held, and the host must not be handed
    // that as text.
    if (instance->kIsNumber == 0 && IsOwnName(instance->kName)) {
        double reference[2] = {0.0, 0.0};
        QueryReference(instance->kName, reference);
        // The host's reference comes back as doubles; a NaN or a value beyond
        // the 32-bit range saturates instead of being converted blindly.
        instance->kRefFirst = TruncateSaturated(reference[0]);
        instance->kRefSecond = TruncateSaturated(reference[1]);
        RefreshNamedFactor(instance);
    }

    instance->couplingStart = 0;
    instance->couplingCount = 4;
    instance->zeroGroupStart = instance->couplingStart + 4;
    instance->zeroGroupCount = 4;
    instance->entryCount = instance->zeroGroupStart + 4;

    const double k = instance->k;
    const double values[kJacobianEntries] = {1.0, -1.0 / k, -1.0 * k, 1.0, 0.0, 0.0, 0.0, 0.0};
    if (MatrixHoldsEntries(interfaceBlock, blocks->matrix, kJacobianEntries)) {
        WriteInt32s(blocks->matrix, interfaceBlock->rowsOffset, kRows, kJacobianEntries);
        WriteInt32s(blocks->matrix, interfaceBlock->columnsOffset, kColumns, kJacobianEntries);
        WriteDoubles(blocks->matrix, interfaceBlock->valuesOffset, values, kJacobianEntries);
    } else {
        ReportForInstance(kSeverityError, instance,
                          "Jacobi matrix block too small: room for %d entries is needed !",
                          kJacobianEntries);
    }

    if (instance->entryCount != interfaceBlock->jacobianEntries)
        ReportForInstance(kSeverityError, instance,
                          "Jacobi matrix index error: \nEnsure that #entries = highest row/column index ! "
                          "\nTotal index count = %d, #entries = %d !",
                          instance->entryCount, static_cast<int>(interfaceBlock->jacobianEntries));
    return kStatusOk;
}
