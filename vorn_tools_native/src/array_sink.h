// ArraySink: the sections of a data section decoded into complex-shaped
// blocks of doubles, each sample pair (real, imaginary) side by side, so the
// blocks become complex arrays without a copy.
#pragma once

#include <optional>

#include "data.h"
#include "samples.h"

namespace vorn::py {

// "values" pairs the real section ("re") with the imaginary one ("im");
// "mixed" pairs "re_im" with "im_re" (four-section Two_D files only).
class ArraySink final : public SectionSink {
public:
    void begin_section(Section section, std::uint64_t rows, std::uint64_t columns) override;
    RowSlots row(std::uint64_t r) override;

    DoubleBlock take_values() { return std::move(values_); }
    std::optional<DoubleBlock> take_mixed();

private:
    DoubleBlock values_;
    DoubleBlock mixed_;
    bool has_mixed_ = false;
    DoubleBlock* current_ = nullptr;
    std::size_t part_ = 0;  // 0: the real part, 1: the imaginary part
};

}  // namespace vorn::py
