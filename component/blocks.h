// Bounded access to the host's VectorBlock and MatrixBlock. Offsets come from
// the host and may be odd or point anywhere: every read and write is checked
// against the block's size and done byte-wise (no misaligned access). A block
// whose size cannot be read has the size kMemSizeUnknown, so that it holds
// whatever the host's offsets declare.
//
// Inline, because the step runs them for every instance at every step: with
// the counts known at the call, each copy becomes a few moves.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>

typedef struct BlockView {
    uint8_t* base;
    size_t size;
} BlockView;

// True when `count` items of `itemSize` bytes starting at `offset` lie inside
// the block. Written so that no sum can overflow, whatever the offset.
inline bool BlockHolds(BlockView block, size_t offset, size_t itemSize, size_t count) {
    if (block.base == nullptr || offset > block.size) return false;
    return count <= (block.size - offset) / itemSize;
}

// Callers check BlockHolds first; these only move bytes.
inline void WriteDoubles(BlockView block, size_t offset, const double* values, size_t count) {
    memcpy(block.base + offset, values, count * sizeof(double));
}

inline double ReadDouble(const uint8_t* at) {
    double value;
    memcpy(&value, at, sizeof value);
    return value;
}

inline void WriteDouble(uint8_t* at, double value) { memcpy(at, &value, sizeof value); }

inline void WriteInt32s(BlockView block, size_t offset, const int32_t* values, size_t count) {
    memcpy(block.base + offset, values, count * sizeof(int32_t));
}
