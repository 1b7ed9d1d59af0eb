// The data section reader: section count, sample runs and the One_D / Two_D layouts.
#include "data.h"

#include <optional>

#include "field.h"
#include "internal_failure.h"

namespace vorn {

Matrix& SectionMap::operator[](std::string_view name)
{
    if (name == "re") return re;
    if (name == "im") return im;
    if (name == "re_im") return re_im;
    if (name == "im_re") return im_re;
    fail("no data section named '" + std::string(name) + "'");
}

namespace {

// Two_D sections are stored as blocks of 32 runs of 32 samples.
constexpr std::uint64_t kBlock = 32;

std::optional<SampleWidth> sample_width(const std::string& data_type)
{
    if (data_type == "32Bit Float") return SampleWidth::Four;
    if (data_type == "64Bit Float") return SampleWidth::Eight;
    return std::nullopt;
}

// The sample type is tested where a run would start, before any sample.
Result<SampleWidth> checked_width(const ByteSource& src, const std::string& data_type)
{
    if (auto width = sample_width(data_type)) return *width;
    return ReadError::assertion(
        "Data type " + data_type + " is not supported, only 32Bit Float and 64Bit Float are supported.",
        src.position());
}

// Whether `count` samples are left in the source. Checked before anything is
// sized from a header count; a stream is read forward as far as that needs.
Result<bool> samples_remain(ByteSource& src, SampleWidth width, std::uint64_t count)
{
    const auto w = static_cast<std::uint64_t>(width);
    if (count > UINT64_MAX / w) return false;
    return src.can_read(count * w);
}

ReadError short_read()
{
    return ReadError::io(std::string(kShortNumberRead));
}

std::uint32_t point_count(const std::vector<std::uint32_t>& data_points, std::size_t axis)
{
    if (axis >= data_points.size()) fail("data_points has no entry for axis " + std::to_string(axis));
    return data_points[axis];
}

// One Two_D section of by x 32 rows of bx x 32 samples. The file holds it as
// 32 x 32 blocks, block rows outermost; each run of 32 samples is decoded
// straight into its place in its row. `empty_rows` counts the empty rows of
// the file's sections so far.
Result<Matrix> read_block_matrix(ByteSource& src, ByteOrder order, const std::string& data_type, std::uint64_t bx,
                                 std::uint64_t by, std::uint64_t& empty_rows)
{
    const std::uint64_t rows = by * kBlock;
    const std::uint64_t columns = bx * kBlock;
    if (columns == 0) {
        // Empty rows take no bytes of the file but do take memory, so a
        // damaged header may ask for no more of them, over all its sections,
        // than an eighth of the file's size.
        empty_rows += rows;
        if (!VORN_TRY(src.holds_at_least(8 * empty_rows))) {
            const bool first = empty_rows == rows;
            return ReadError::assertion(std::string(first ? "Two_D section of " : "Two_D sections of ") +
                                            std::to_string(empty_rows) +
                                            (first ? " empty rows is" : " empty rows in all are") +
                                            " too large for a file of " + std::to_string(src.size()) + " bytes",
                                        src.position());
        }
        return Matrix(rows);
    }
    if (rows == 0) return Matrix{};

    const SampleWidth width = VORN_TRY(checked_width(src, data_type));
    // A section that is not all there fails before anything is allocated;
    // rows * columns is below 2^64 since both are below 2^32.
    if (!VORN_TRY(samples_remain(src, width, rows * columns))) return short_read();
    Matrix matrix(rows);
    for (Row& row : matrix) row.reserve(columns);
    // A row's runs come in column order, so each run extends its row by 32
    // samples within the capacity reserved above.
    for (std::uint64_t i = 0; i < by; ++i) {
        for (std::uint64_t j = 0; j < bx; ++j) {
            for (std::uint64_t r = 0; r < kBlock; ++r) {
                Row& row = matrix[i * kBlock + r];
                row.resize(row.size() + kBlock);
                VORN_TRY(src.read_samples(width, order, kBlock, row.data() + j * kBlock));
            }
        }
    }
    return matrix;
}

}  // namespace

std::uint32_t get_data_section_count(const std::vector<std::string>& axis_types)
{
    std::uint32_t count = 1;
    bool real_complex_seen = false;
    for (const auto& type : axis_types) {
        if (type == "Complex") {
            count *= 2;
        } else if (type == "Real_Complex" && !real_complex_seen) {
            real_complex_seen = true;
            count += 1;
        }
    }
    return count;
}

Result<Row> read_vector(ByteSource& src, ByteOrder order, const std::string& data_type, std::uint32_t count)
{
    const SampleWidth width = VORN_TRY(checked_width(src, data_type));
    if (!VORN_TRY(samples_remain(src, width, count))) return short_read();
    Row row(count);
    VORN_TRY(src.read_samples(width, order, row.size(), row.data()));
    return row;
}

DataField store_data_result(SectionMap& sections, std::uint32_t count, std::string_view name)
{
    switch (count) {
    case 2:
        return std::move(sections[name]);
    case 4:
        return DataPair{std::move(sections[name]), std::move(sections[name == "im" ? "im_re" : "re_im"])};
    default:
        // Only two- and four-section data have fields.
        fail("internal error: entered unreachable code");
    }
}

Result<Data> read_data(ByteSource& src, ByteOrder order, const std::vector<std::string>& data_axis_type,
                       const std::string& data_type, const std::string& data_format,
                       const std::vector<std::uint32_t>& data_points)
{
    return read_field(src, "data_results", "Data", [&]() -> Result<Data> {
        const std::uint32_t count = get_data_section_count(data_axis_type);
        SectionMap sections;
        if (data_format == "One_D") {
            // One run per section: "im" first, then "re"; any further
            // sections are read and dropped.
            const std::uint32_t points = point_count(data_points, 0);
            for (std::uint32_t s = 0; s < count; ++s) {
                Row row = VORN_TRY(read_vector(src, order, data_type, points));
                if (s == 0) sections.im.push_back(std::move(row));
                if (s == 1) sections.re.push_back(std::move(row));
            }
        } else if (data_format == "Two_D") {
            static constexpr std::string_view kFourSections[] = {"re", "re_im", "im", "im_re"};
            const std::uint64_t bx = point_count(data_points, 0) / kBlock;
            const std::uint64_t by = point_count(data_points, 1) / kBlock;
            std::uint64_t empty_rows = 0;
            for (std::uint32_t s = 0; s < count; ++s) {
                Matrix matrix = VORN_TRY(read_block_matrix(src, order, data_type, bx, by, empty_rows));
                if (count == 2) {
                    sections[s == 0 ? "re" : "im"] = std::move(matrix);
                } else if (count == 4) {
                    sections[kFourSections[s]] = std::move(matrix);
                } else {
                    return ReadError::assertion("Data section count with value " + std::to_string(count) +
                                                    " is not supported for Two_D kind, only 2 and 4 are supported.",
                                                src.position());
                }
            }
        } else {
            // The header reader accepts no other layout.
            fail("data format '" + data_format + "' is neither One_D nor Two_D");
        }
        DataField im = store_data_result(sections, count, "im");
        DataField re = store_data_result(sections, count, "re");
        return Data{std::move(im), std::move(re)};
    });
}

}  // namespace vorn
