// The layout facts of a header.
#include "layout.h"

#include "code_tables.h"
#include "data.h"
#include "field.h"

namespace vorn {

namespace {

std::uint32_t points_of(const Headers& h, std::size_t axis)
{
    return axis < h.data_points.size() ? h.data_points[axis] : 0;
}

// a * b, or UINT64_MAX when that does not fit.
std::uint64_t saturating_product(std::uint64_t a, std::uint64_t b) noexcept
{
    if (a != 0 && b > UINT64_MAX / a) return UINT64_MAX;
    return a * b;
}

}  // namespace

Layout describe_layout(const Headers& h)
{
    Layout layout;
    layout.two_d = is(h.data_format, DataFormat::TwoD);
    layout.section_count = get_data_section_count(h.data_axis_type);
    if (const auto width = sample_width(h.data_type)) layout.sample_bytes = static_cast<std::uint32_t>(*width);
    const std::size_t axes = layout.two_d ? 2 : 1;
    for (std::size_t a = 0; a < axes; ++a) {
        const std::uint32_t points = points_of(h, a);
        layout.header_points.push_back(points);
        layout.kept_points.push_back(layout.two_d ? static_cast<std::uint32_t>(points / kBlock * kBlock) : points);
        layout.axis_kinds.push_back(a < h.data_axis_type.size() ? h.data_axis_type[a] : std::string());
    }
    std::uint64_t stored_per_section = 0;
    if (layout.two_d) {
        const std::uint64_t columns = layout.kept_points[0];
        const std::uint64_t rows = layout.kept_points[1];
        // A section of no rows keeps no columns; empty rows take no bytes.
        layout.shape = {rows, rows == 0 ? 0 : columns};
        stored_per_section = rows * columns;
        if (layout.section_count == 2) layout.sections = {"re", "im"};
        if (layout.section_count == 4) layout.sections = {"re", "re_im", "im", "im_re"};
    } else {
        layout.shape = {layout.kept_points[0]};
        stored_per_section = layout.kept_points[0];
        static const char* const kOneD[] = {"im", "re"};
        for (std::uint32_t s = 0; s < layout.section_count && s < 2; ++s) layout.sections.emplace_back(kOneD[s]);
    }
    if (layout.sample_bytes) {
        const std::uint64_t bytes =
            saturating_product(saturating_product(stored_per_section, layout.section_count), *layout.sample_bytes);
        layout.data_bytes = bytes;
        layout.data_end = bytes > UINT64_MAX - h.data_start ? UINT64_MAX : h.data_start + bytes;
    }
    return layout;
}

Result<bool> cut_short(const Layout& layout, ByteSource& src)
{
    // No samples are due where there are none, wherever data_start lies.
    if (!layout.data_end || layout.data_bytes == 0) return false;
    VORN_ASSIGN_OR_RETURN(const bool held, src.holds_at_least(*layout.data_end));
    return !held;
}

}  // namespace vorn
