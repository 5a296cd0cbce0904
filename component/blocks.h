// Bounded access to the host's VectorBlock and MatrixBlock. Offsets come from
// the host and may be odd or point anywhere: every read and write is checked
// against the block's size and done byte-wise (no misaligned access).
#pragma once

#include <stddef.h>
#include <stdint.h>

typedef struct BlockView {
    uint8_t* base;
    size_t size;
} BlockView;

// True when `count` items of `itemSize` bytes starting at `offset` (or, for
// the element forms, element `first` of an array at `offset`) lie inside the block.
bool BlockHolds(BlockView block, size_t offset, size_t itemSize, size_t count);

void ReadDoubles(BlockView block, size_t offset, double* values, size_t count);
void WriteDoubles(BlockView block, size_t offset, const double* values, size_t count);
void WriteInt32s(BlockView block, size_t offset, const int32_t* values, size_t count);
