#include "hostsim/kit/block_pool.h"

#include <algorithm>
#include <stdexcept>

namespace dvx::host {

namespace {

constexpr size_t kLargestOffset = 0xffff;

// How many instances of `stride` bytes fit when the largest of their
// offsets, `last`, must stay within 16 bits.
size_t Fitting(size_t stride, size_t last) {
    if (stride == 0 || last > kLargestOffset) throw std::invalid_argument("an instance's room does not fit a block");
    return (kLargestOffset - last) / stride + 1;
}

} // namespace

BlockPool::BlockPool(const BlockLayout& perInstance)
    : unit_(perInstance),
      perVector_(Fitting(perInstance.vectorSize, std::max(perInstance.variablesOffset, perInstance.rhsOffset))),
      perMatrix_(Fitting(perInstance.matrixSize,
                         std::max({perInstance.columnsOffset, perInstance.rowsOffset, perInstance.valuesOffset}))) {}

SharedPlace BlockPool::Next() {
    if (vectors_.empty() || inVector_ == perVector_) {
        vectors_.emplace_back(perVector_ * unit_.vectorSize);
        inVector_ = 0;
    }
    if (matrices_.empty() || inMatrix_ == perMatrix_) {
        matrices_.emplace_back(perMatrix_ * unit_.matrixSize);
        inMatrix_ = 0;
    }
    SharedPlace place;
    place.vector = vectors_.back().Handle();
    place.matrix = matrices_.back().Handle();
    BlockLayout& b = place.layout;
    b = unit_;
    b.vectorSize = perVector_ * unit_.vectorSize;
    b.matrixSize = perMatrix_ * unit_.matrixSize;
    const auto shift = [](uint16_t offset, size_t by) { return static_cast<uint16_t>(offset + by); };
    b.variablesOffset = shift(unit_.variablesOffset, inVector_ * unit_.vectorSize);
    b.rhsOffset = shift(unit_.rhsOffset, inVector_ * unit_.vectorSize);
    b.columnsOffset = shift(unit_.columnsOffset, inMatrix_ * unit_.matrixSize);
    b.rowsOffset = shift(unit_.rowsOffset, inMatrix_ * unit_.matrixSize);
    b.valuesOffset = shift(unit_.valuesOffset, inMatrix_ * unit_.matrixSize);
    ++inVector_;
    ++inMatrix_;
    return place;
}

} // namespace dvx::host
