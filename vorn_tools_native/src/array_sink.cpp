// Placement of sections into complex-shaped blocks.
#include "array_sink.h"

#include "internal_failure.h"

namespace vorn::py {

void ArraySink::begin_section(Section section, std::uint64_t rows, std::uint64_t columns)
{
    const bool mixed = section == Section::ReIm || section == Section::ImRe;
    DoubleBlock& block = mixed ? mixed_ : values_;
    has_mixed_ = has_mixed_ || mixed;
    // The partner sections of a block have the same shape; the first one
    // allocates it. A section of no rows keeps no columns, as an empty
    // matrix of rows has none.
    const std::uint64_t kept_columns = rows == 0 ? 0 : columns;
    if (!block.data) {
        block = DoubleBlock::make(static_cast<std::size_t>(rows), static_cast<std::size_t>(kept_columns), 2);
    } else if (block.rows != rows || block.columns != kept_columns) {
        fail("data sections of one file differ in shape");
    }
    part_ = section == Section::Re || section == Section::ReIm ? 0 : 1;
    current_ = &block;
}

RowSlots ArraySink::row(std::uint64_t r) { return {current_->data.get() + r * current_->columns * 2 + part_, 2}; }

std::optional<DoubleBlock> ArraySink::take_mixed()
{
    if (!has_mixed_) return std::nullopt;
    return std::move(mixed_);
}

}  // namespace vorn::py
