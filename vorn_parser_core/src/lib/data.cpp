// The data section reader: section count, sample runs and the One_D / Two_D layouts.
#include "data.h"

#include <optional>

#include "code_tables.h"
#include "field.h"
#include "internal_failure.h"

namespace vorn {

Matrix& SectionMap::operator[](Section section)
{
    switch (section) {
    case Section::Re:
        return re;
    case Section::Im:
        return im;
    case Section::ReIm:
        return re_im;
    case Section::ImRe:
        return im_re;
    }
    fail("no such data section");
}

std::optional<SampleWidth> sample_width(const std::string& data_type)
{
    if (is(data_type, DataType::Float32)) return SampleWidth::Four;
    if (is(data_type, DataType::Float64)) return SampleWidth::Eight;
    return std::nullopt;
}

namespace {

// The sample type is tested where a run would start, before any sample.
Result<SampleWidth> checked_width(const ByteSource& src, const std::string& data_type)
{
    if (auto width = sample_width(data_type)) return *width;
    return ReadError::assertion("Data type " + data_type +
                                    " is not supported, only 32Bit Float and 64Bit Float are supported.",
                                src.position());
}

// Whether `count` samples are left in the source. Checked before anything is
// sized from a header count; a stream is read forward as far as that needs.
Result<bool> samples_remain(ByteSource& src, SampleWidth width, std::uint64_t count)
{
    // No samples read nothing: they are there even where data_start lies
    // past the end.
    if (count == 0) return true;
    const auto w = static_cast<std::uint64_t>(width);
    if (count > UINT64_MAX / w) return false;
    return src.can_read(count * w);
}

ReadError short_read() { return ReadError::short_read(kShortNumberRead); }

std::uint32_t point_count(const std::vector<std::uint32_t>& data_points, std::size_t axis)
{
    if (axis >= data_points.size()) fail("data_points has no entry for axis " + std::to_string(axis));
    return data_points[axis];
}

// Decodes a section that no field keeps into scratch memory: its samples are
// read (and their failures reported) all the same.
class DroppedSection {
public:
    void begin(std::uint64_t rows, std::uint64_t columns)
    {
        columns_ = columns;
        scratch_.resize(static_cast<std::size_t>(rows * columns));
    }
    RowSlots row(std::uint64_t r) { return {scratch_.data() + r * columns_, 1}; }

private:
    std::uint64_t columns_ = 0;
    Row scratch_;
};

// Where the sections go: the sink, or scratch for a dropped one.
struct Target {
    SectionSink& sink;
    std::optional<Section> section;  // none: dropped
    DroppedSection& dropped;

    void begin(std::uint64_t rows, std::uint64_t columns)
    {
        if (section) {
            sink.begin_section(*section, rows, columns);
        } else {
            dropped.begin(rows, columns);
        }
    }
    RowSlots row(std::uint64_t r) { return section ? sink.row(r) : dropped.row(r); }
};

// One Two_D section of by x 32 rows of bx x 32 samples. The file holds it as
// 32 x 32 blocks, block rows outermost; each run of 32 samples is decoded
// straight into its place in its row. `empty_rows` counts the empty rows of
// the file's sections so far.
Status read_block_matrix(ByteSource& src, ByteOrder order, const std::string& data_type, std::uint64_t bx,
                         std::uint64_t by, std::uint64_t& empty_rows, Target target)
{
    const std::uint64_t rows = by * kBlock;
    const std::uint64_t columns = bx * kBlock;
    if (columns == 0) {
        // Empty rows take no bytes of the file but do take memory, so a
        // damaged header may ask for no more of them, over all its sections,
        // than an eighth of the file's size.
        empty_rows += rows;
        VORN_ASSIGN_OR_RETURN(const bool held, src.holds_at_least(8 * empty_rows));
        if (!held) {
            const bool first = empty_rows == rows;
            return ReadError::assertion(std::string(first ? "Two_D section of " : "Two_D sections of ") +
                                            std::to_string(empty_rows) +
                                            (first ? " empty rows is" : " empty rows in all are") +
                                            " too large for a file of " + std::to_string(src.size()) + " bytes",
                                        src.position());
        }
        target.begin(rows, 0);
        return Ok{};
    }
    if (rows == 0) {
        target.begin(0, columns);
        return Ok{};
    }

    VORN_ASSIGN_OR_RETURN(const SampleWidth width, checked_width(src, data_type));
    // A section that is not all there fails before anything is allocated;
    // rows * columns is below 2^64 since both are below 2^32.
    VORN_ASSIGN_OR_RETURN(const bool all_there, samples_remain(src, width, rows * columns));
    if (!all_there) return short_read();
    target.begin(rows, columns);
    for (std::uint64_t i = 0; i < by; ++i) {
        for (std::uint64_t j = 0; j < bx; ++j) {
            for (std::uint64_t r = 0; r < kBlock; ++r) {
                const RowSlots row = target.row(i * kBlock + r);
                VORN_TRY(src.read_samples(width, order, kBlock, row.first + j * kBlock * row.step, row.step));
            }
        }
    }
    return Ok{};
}

// One_D: one run per section.
Status read_run(ByteSource& src, ByteOrder order, const std::string& data_type, std::uint32_t count, Target target)
{
    VORN_ASSIGN_OR_RETURN(const SampleWidth width, checked_width(src, data_type));
    VORN_ASSIGN_OR_RETURN(const bool all_there, samples_remain(src, width, count));
    if (!all_there) return short_read();
    target.begin(1, count);
    if (count == 0) return Ok{};
    const RowSlots row = target.row(0);
    return src.read_samples(width, order, count, row.first, row.step);
}

// The section names of a file's rows of matrices, filled by the reader.
class MatrixSink final : public SectionSink {
public:
    explicit MatrixSink(SectionMap& sections) : sections_(sections) {}

    void begin_section(Section section, std::uint64_t rows, std::uint64_t columns) override
    {
        // Rows are sized one by one: no prototype row, which a section of no
        // rows would still allocate at a header's width.
        Matrix& m = sections_[section];
        m.clear();
        m.resize(static_cast<std::size_t>(rows));
        for (Row& row : m) row.resize(static_cast<std::size_t>(columns));
        current_ = &m;
    }
    RowSlots row(std::uint64_t r) override { return {(*current_)[static_cast<std::size_t>(r)].data(), 1}; }

private:
    SectionMap& sections_;
    Matrix* current_ = nullptr;
};

}  // namespace

std::uint32_t get_data_section_count(const std::vector<std::string>& axis_types)
{
    std::uint32_t count = 1;
    bool real_complex_seen = false;
    for (const auto& type : axis_types) {
        if (is(type, AxisType::Complex)) {
            count *= 2;
        } else if (is(type, AxisType::RealComplex) && !real_complex_seen) {
            real_complex_seen = true;
            count += 1;
        }
    }
    return count;
}

Result<Row> read_vector(ByteSource& src, ByteOrder order, const std::string& data_type, std::uint32_t count)
{
    VORN_ASSIGN_OR_RETURN(const SampleWidth width, checked_width(src, data_type));
    VORN_ASSIGN_OR_RETURN(const bool all_there, samples_remain(src, width, count));
    if (!all_there) return short_read();
    Row row(count);
    VORN_TRY(src.read_samples(width, order, row.size(), row.data()));
    return row;
}

DataField store_data_result(SectionMap& sections, std::uint32_t count, Section part)
{
    switch (count) {
    case 2:
        return std::move(sections[part]);
    case 4:
        return DataPair{std::move(sections[part]),
                        std::move(sections[part == Section::Im ? Section::ImRe : Section::ReIm])};
    default:
        // Only two- and four-section data have fields.
        fail("internal error: entered unreachable code");
    }
}

namespace {

// The sections of the data step, by layout; the step's frame is added by
// read_sections.
Result<std::uint32_t> read_layout(ByteSource& src, ByteOrder order, const std::vector<std::string>& data_axis_type,
                                  const std::string& data_type, const std::string& data_format,
                                  const std::vector<std::uint32_t>& data_points, SectionSink& sink)
{
    const std::uint32_t count = get_data_section_count(data_axis_type);
    DroppedSection dropped;
    if (is(data_format, DataFormat::OneD)) {
        // One run per section: "im" first, then "re"; any further sections
        // are read and dropped.
        const std::uint32_t points = point_count(data_points, 0);
        for (std::uint32_t s = 0; s < count; ++s) {
            std::optional<Section> section;
            if (s < 2) section = s == 0 ? Section::Im : Section::Re;
            VORN_TRY(read_run(src, order, data_type, points, Target{sink, section, dropped}));
        }
    } else if (is(data_format, DataFormat::TwoD)) {
        static constexpr Section kFourSections[] = {Section::Re, Section::ReIm, Section::Im, Section::ImRe};
        const std::uint64_t bx = point_count(data_points, 0) / kBlock;
        const std::uint64_t by = point_count(data_points, 1) / kBlock;
        std::uint64_t empty_rows = 0;
        for (std::uint32_t s = 0; s < count; ++s) {
            std::optional<Section> section;
            if (count == 2) section = s == 0 ? Section::Re : Section::Im;
            if (count == 4) section = kFourSections[s];
            VORN_TRY(read_block_matrix(src, order, data_type, bx, by, empty_rows, Target{sink, section, dropped}));
            if (count != 2 && count != 4) {
                return ReadError::assertion("Data section count with value " + std::to_string(count) +
                                                " is not supported for Two_D kind, only 2 and 4 are supported.",
                                            src.position());
            }
        }
    } else {
        // The header reader accepts no other layout.
        fail("data format '" + data_format + "' is neither One_D nor Two_D");
    }
    return count;
}

}  // namespace

Result<std::uint32_t> read_sections(ByteSource& src, ByteOrder order, const std::vector<std::string>& data_axis_type,
                                    const std::string& data_type, const std::string& data_format,
                                    const std::vector<std::uint32_t>& data_points, SectionSink& sink)
{
    return field(src, "data_results", "Data")
        .read(read_layout(src, order, data_axis_type, data_type, data_format, data_points, sink));
}

Result<Data> read_data(ByteSource& src, ByteOrder order, const std::vector<std::string>& data_axis_type,
                       const std::string& data_type, const std::string& data_format,
                       const std::vector<std::uint32_t>& data_points)
{
    SectionMap sections;
    MatrixSink sink(sections);
    VORN_ASSIGN_OR_RETURN(const std::uint32_t count,
                          read_sections(src, order, data_axis_type, data_type, data_format, data_points, sink));
    DataField im = store_data_result(sections, count, Section::Im);
    DataField re = store_data_result(sections, count, Section::Re);
    return Data{std::move(im), std::move(re)};
}

}  // namespace vorn
