#include "component/blocks.h"

#include <string.h>

bool BlockHolds(BlockView block, size_t offset, size_t itemSize, size_t count) {
    if (block.base == nullptr || offset > block.size) return false;
    return count <= (block.size - offset) / itemSize;
}

// Callers check BlockHolds first; these only move bytes.
void ReadDoubles(BlockView block, size_t offset, double* values, size_t count) {
    memcpy(values, block.base + offset, count * sizeof(double));
}

void WriteDoubles(BlockView block, size_t offset, const double* values, size_t count) {
    memcpy(block.base + offset, values, count * sizeof(double));
}

void WriteInt32s(BlockView block, size_t offset, const int32_t* values, size_t count) {
    memcpy(block.base + offset, values, count * sizeof(int32_t));
}
