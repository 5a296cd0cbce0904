// VectorBlocks and MatrixBlocks shared by many instances, as a host with
// global vectors keeps them: each instance gets its place in a block by
// byte offsets, and a block takes as many instances as its 16-bit offsets
// reach.
#pragma once

#include "hostsim/kit/blocks.h"
#include "hostsim/kit/instance.h"

#include <cstdint>
#include <vector>

namespace dvx::host {

// Where an instance's variables, right-hand side and entries lie.
struct SharedPlace {
    uint32_t vector = 0;
    uint32_t matrix = 0;
    BlockLayout layout; // the offsets into the two blocks, and their sizes
};

class BlockPool {
public:
    // `perInstance` gives the room of one instance: the VectorBlock's
    // variables and right-hand side at its offsets within vectorSize bytes,
    // the MatrixBlock's arrays at theirs within matrixSize bytes. Instances
    // follow one another at these strides.
    explicit BlockPool(const BlockLayout& perInstance);

    // The place of the next instance, in the current blocks or in new ones
    // where the current ones are full. Throws std::bad_alloc.
    SharedPlace Next();

    size_t VectorBlocks() const { return vectors_.size(); }
    size_t MatrixBlocks() const { return matrices_.size(); }
    size_t PerVectorBlock() const { return perVector_; }
    size_t PerMatrixBlock() const { return perMatrix_; }

private:
    BlockLayout unit_;
    size_t perVector_, perMatrix_;
    std::vector<OwnedBlock> vectors_, matrices_;
    size_t inVector_ = 0, inMatrix_ = 0; // instances in the newest blocks
};

} // namespace dvx::host
