// Call type 3: refresh a named K, take the outputs from the current
// variables, rewrite the two K-dependent entries and clear the right-hand
// side. The host calls this for every instance at every step, so the frame
// around the work (two more locks, the bounds) is kept to what it must do.
#include "component/calls.h"
#include "component/frame.h"

namespace {

// What a step reads of the InterfaceBlock, taken before anything is written:
// a host may pass its InterfaceBlock again as the VectorBlock or the
// MatrixBlock, and the step's own writes must not move the places it has
// checked.
typedef struct StepPlaces {
    DvxHandle vectorHandle;
    DvxHandle matrixHandle;
    size_t variablesOffset;
    size_t rhsOffset;
    size_t valuesOffset;
    int32_t jacobianEntries;
} StepPlaces;

StepPlaces PlacesOf(const InterfaceBlock* interfaceBlock) {
    StepPlaces places;
    places.vectorHandle = interfaceBlock->vectorHandle;
    places.matrixHandle = interfaceBlock->matrixHandle;
    places.variablesOffset = interfaceBlock->variablesOffset;
    places.rhsOffset = interfaceBlock->rhsOffset;
    places.valuesOffset = interfaceBlock->valuesOffset;
    places.jacobianEntries = interfaceBlock->jacobianEntries;
    return places;
}

// The two rewritten positions must lie among the entries the host has room
// for: those it declared, and at least the eight that layout writes. Before
// any layout couplingStart holds whatever the block held.
bool CouplingFits(int32_t start, const StepPlaces& places, BlockView matrix) {
    const int32_t room = places.jacobianEntries > int32_t{kJacobianEntries} ? places.jacobianEntries
                                                                             : int32_t{kJacobianEntries};
    if (start < 0 || start > room - 3) return false;
    return BlockHolds(matrix, places.valuesOffset, sizeof(double), static_cast<size_t>(start) + 3);
}

void Step(InstanceData* instance, const StepPlaces& places, const FurtherBlocks& blocks) {
    const BlockView vector = blocks.vector;
    const BlockView matrix = blocks.matrix;
    if (!BlockHolds(vector, places.variablesOffset, sizeof(double), kVariableCount) ||
        !BlockHolds(vector, places.rhsOffset, sizeof(double), kVariableCount) ||
        !CouplingFits(instance->couplingStart, places, matrix)) {
        ReportForInstance(kSeverityError, instance,
                          "Step skipped: its vector or matrix entries lie outside the host's blocks !");
        return;
    }

    if (instance->kIsNumber == 0) RefreshNamedFactor(instance);
    const double k = instance->k;

    // All three are read before anything is written: the host's blocks may
    // overlap.
    const uint8_t* variables = vector.base + places.variablesOffset;
    const double omega1 = ReadDouble(variables);
    const double omega2 = ReadDouble(variables + sizeof(double));
    const double m1 = ReadDouble(variables + 2 * sizeof(double));
    instance->omega1 = omega1;
    instance->omega2 = omega2;
    instance->m1 = m1;
    instance->m2 = m1 * k;

    uint8_t* coupling = matrix.base + places.valuesOffset +
                        (static_cast<size_t>(instance->couplingStart) + 1) * sizeof(double);
    WriteDouble(coupling, -1.0 / k);
    WriteDouble(coupling + sizeof(double), -1.0 * k);

    memset(vector.base + places.rhsOffset, 0, kVariableCount * sizeof(double));
}

int32_t StepWithFurtherBlocks(InstanceData* instance, const InterfaceBlock* interfaceBlock) {
    const StepPlaces places = PlacesOf(interfaceBlock);
    FurtherFrame further;
    const int32_t status = OpenFurtherFrame(places.vectorHandle, places.matrixHandle, &further);
    if (status != kStatusOk) return status;
    Step(instance, places, further.blocks);
    CloseFurtherFrame(&further);
    return kStatusOk;
}

} // namespace

int32_t RunStepCall(DvxHandle instanceHandle, DvxHandle interfaceHandle) {
    CallFrame frame;
    int32_t status = OpenCallFrame(instanceHandle, interfaceHandle, &frame);
    if (status != kStatusOk) return status;
    status = CallFrameFits(&frame) ? StepWithFurtherBlocks(frame.instance, frame.interfaceBlock) : kStatusLockFailed;
    CloseCallFrame(&frame);
    return status;
}
