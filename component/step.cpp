// Call type 3: refresh a named K, take the outputs from the current
// variables, rewrite the two K-dependent entries and clear the right-hand
// side. The host calls this for every instance at every step.
#include "component/calls.h"

namespace {

// The two rewritten positions must lie among the entries the host has room
// for: those it declared, and at least the eight that layout writes. Before
// any layout couplingStart holds whatever the block held.
bool CouplingFits(const InstanceData* instance, const InterfaceBlock* interfaceBlock, BlockView matrix) {
    const int32_t start = instance->couplingStart;
    const int32_t declared = interfaceBlock->jacobianEntries;
    const int32_t room = declared > int32_t{kJacobianEntries} ? declared : int32_t{kJacobianEntries};
    if (start < 0 || start > room - 3) return false;
    return BlockHolds(matrix, interfaceBlock->valuesOffset, sizeof(double), static_cast<size_t>(start) + 3);
}

} // namespace

int32_t RunStep(InstanceData* instance, const InterfaceBlock* interfaceBlock, const FurtherBlocks* blocks) {
    const bool variablesFit = BlockHolds(blocks->vector, interfaceBlock->variablesOffset, sizeof(double), kVariableCount);
    const bool rhsFits = BlockHolds(blocks->vector, interfaceBlock->rhsOffset, sizeof(double), kVariableCount);
    const bool couplingFits = CouplingFits(instance, interfaceBlock, blocks->matrix);
    if (!variablesFit || !rhsFits || !couplingFits) {
        ReportForInstance(kSeverityError, instance,
                          "Step skipped: its vector or matrix entries lie outside the host's blocks !");
        return kStatusOk;
    }

    if (instance->kIsNumber == 0) RefreshNamedFactor(instance);
    const double k = instance->k;

    double variables[kVariableCount];
    ReadDoubles(blocks->vector, interfaceBlock->variablesOffset, variables, kVariableCount);
    instance->omega1 = variables[0];
    instance->omega2 = variables[1];
    instance->m1 = variables[2];
    instance->m2 = variables[2] * k;

    const double coupling[2] = {-1.0 / k, -1.0 * k};
    const size_t position = static_cast<size_t>(instance->couplingStart) + 1;
    WriteDoubles(blocks->matrix, interfaceBlock->valuesOffset + position * sizeof(double), coupling, 2);

    const double rhs[kVariableCount] = {0.0, 0.0, 0.0};
    WriteDoubles(blocks->vector, interfaceBlock->rhsOffset, rhs, kVariableCount);
    return kStatusOk;
}
