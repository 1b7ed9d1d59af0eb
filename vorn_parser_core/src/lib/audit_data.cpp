// The data section as the checker sees it: the plan of the data step and the
// scan of the samples for values that are not finite.
#include "audit_data.h"

#include <cmath>

#include "code_tables.h"
#include "data.h"
#include "field.h"
#include "vorn_data_file.h"

namespace vorn {

namespace {

constexpr std::uint64_t kBlockSide = 32;  // a Two_D section is stored as blocks of 32 x 32 samples
constexpr std::uint64_t kDataTypeByte = 14;
constexpr std::uint64_t kAxisTypes = 24;
constexpr std::uint64_t kDataPoints = 176;

std::uint64_t width_of(const std::string& data_type)
{
    if (is(data_type, DataType::Float32)) return 4;
    if (is(data_type, DataType::Float64)) return 8;
    return 0;
}

bool one_d(const Headers& h) { return is(h.data_format, DataFormat::OneD); }

// The section of each file index, as the data step names them.
std::optional<Section> section_at(bool one_dimensional, std::uint32_t sections, std::uint32_t index)
{
    if (one_dimensional) {
        if (index < 2) return index == 0 ? Section::Im : Section::Re;
        return std::nullopt;
    }
    static constexpr Section kFour[] = {Section::Re, Section::ReIm, Section::Im, Section::ImRe};
    if (sections == 2 && index < 2) return index == 0 ? Section::Re : Section::Im;
    if (sections == 4 && index < 4) return kFour[index];
    return std::nullopt;
}

std::uint32_t index_of(bool one_dimensional, std::uint32_t sections, Section section)
{
    for (std::uint32_t i = 0; i < 4; ++i) {
        if (section_at(one_dimensional, sections, i) == section) return i;
    }
    return 0;
}

Fault sample_type_fault(const Headers& h)
{
    return Fault{Code::SampleType, kDataTypeByte, "headers.dataType",
                 "sample type '" + h.data_type + "' cannot be read (only 32Bit Float and 64Bit Float)"};
}

Fault section_count_fault(const Headers& h, std::uint32_t sections)
{
    return Fault{Code::SectionCount, kAxisTypes, "headers.dataAxisType",
                 "the axis kinds give " + std::to_string(sections) + " section" + (sections == 1 ? "" : "s") +
                     " for a " + h.data_format + " file; only 2 and 4 can be read"};
}

Fault samples_cut(const Headers& h, std::uint32_t sections, std::uint32_t index, std::uint64_t at,
                  std::uint64_t samples, std::uint64_t width, std::uint64_t size)
{
    return Fault{Code::SamplesCut, at, section_path(h, sections, index),
                 "section " + std::to_string(index) + " needs " + std::to_string(samples) + " samples of " +
                     std::to_string(width) + " bytes from offset " + std::to_string(at) + "; the file ends at " +
                     std::to_string(size)};
}

// Whether `bytes` more lie in the source from `at`, as the data step asks it:
// no samples are there even where `at` lies past the end.
Result<bool> holds_from(ByteSource& src, std::uint64_t at, std::uint64_t bytes)
{
    if (bytes == 0) return true;
    if (at > UINT64_MAX - bytes) return false;
    return src.holds_at_least(at + bytes);
}

}  // namespace

std::string section_path(const Headers& headers, std::uint32_t sections, std::uint32_t index)
{
    const auto section = section_at(one_d(headers), sections, index);
    if (!section) return "data";
    return "data." + std::string(section_name(*section));
}

Result<DataPlan> plan_data(ByteSource& src, const Headers& h)
{
    DataPlan plan;
    plan.sections = get_data_section_count(h.data_axis_type);
    plan.sample_width = width_of(h.data_type);
    const std::uint64_t w = plan.sample_width;
    std::uint64_t at = h.data_start;
    plan.end = at;
    if (one_d(h)) {
        const std::uint64_t points = h.data_points.at(0);
        for (std::uint32_t s = 0; s < plan.sections; ++s) {
            if (w == 0) {
                plan.fault = sample_type_fault(h);
                return plan;
            }
            VORN_ASSIGN_OR_RETURN(const bool held, holds_from(src, at, points * w));
            if (!held) {
                plan.fault = samples_cut(h, plan.sections, s, at, points, w, src.size());
                return plan;
            }
            at += points * w;
            plan.end = at;
        }
        if (plan.sections != 2 && plan.sections != 4) plan.fault = section_count_fault(h, plan.sections);
        return plan;
    }
    const std::uint64_t rows = h.data_points.at(1) / kBlockSide * kBlockSide;
    const std::uint64_t columns = h.data_points.at(0) / kBlockSide * kBlockSide;
    std::uint64_t empty_rows = 0;
    for (std::uint32_t s = 0; s < plan.sections; ++s) {
        if (columns == 0) {
            // Empty rows take no bytes but memory: an eighth of the file's size at most.
            empty_rows += rows;
            VORN_ASSIGN_OR_RETURN(const bool held, src.holds_at_least(8 * empty_rows));
            if (!held) {
                plan.fault =
                    Fault{Code::EmptyRowsTooMany, kDataPoints + 4, "headers.dataPoints[1]",
                          std::to_string(empty_rows) + " empty rows (x has " + std::to_string(h.data_points[0]) +
                              " points) are too many for a file of " + std::to_string(src.size()) + " bytes"};
                return plan;
            }
        } else if (rows != 0) {
            if (w == 0) {
                plan.fault = sample_type_fault(h);
                return plan;
            }
            VORN_ASSIGN_OR_RETURN(const bool held, holds_from(src, at, rows * columns * w));
            if (!held) {
                plan.fault = samples_cut(h, plan.sections, s, at, rows * columns, w, src.size());
                return plan;
            }
            at += rows * columns * w;
            plan.end = at;
        }
        // Checked once the first section is read, as the data step does.
        if (plan.sections != 2 && plan.sections != 4) {
            plan.fault = section_count_fault(h, plan.sections);
            return plan;
        }
    }
    return plan;
}

namespace {

// Takes each section as the data step decodes it and counts what is not
// finite; one section is held at a time.
class ScanSink final : public SectionSink {
public:
    ScanSink(const Headers& h, std::uint32_t sections) : headers_(h), sections_(sections), one_d_(one_d(h)) {}

    void begin_section(Section section, std::uint64_t rows, std::uint64_t columns) override
    {
        finish();
        section_ = section;
        columns_ = columns;
        samples_.assign(static_cast<std::size_t>(rows * columns), 0.0);
        open_ = true;
    }
    RowSlots row(std::uint64_t r) override { return {samples_.data() + r * columns_, 1}; }

    std::vector<NonFiniteSamples> take()
    {
        finish();
        return std::move(found_);
    }

private:
    void finish()
    {
        if (!open_) return;
        open_ = false;
        NonFiniteSamples counts;
        bool any = false;
        for (std::size_t i = 0; i < samples_.size(); ++i) {
            const double v = samples_[i];
            if (std::isfinite(v)) continue;
            if (!any) {
                any = true;
                counts.first_row = columns_ == 0 ? 0 : i / columns_;
                counts.first_column = columns_ == 0 ? 0 : i % columns_;
            }
            if (std::isnan(v)) {
                ++counts.nan;
            } else {
                ++counts.infinite;
            }
        }
        if (!any) return;
        counts.field = "data." + std::string(section_name(section_));
        counts.first_offset = offset_of(counts.first_row, counts.first_column);
        found_.push_back(std::move(counts));
    }

    // Where sample (row, column) of the current section lies in the file.
    std::uint64_t offset_of(std::uint64_t row, std::uint64_t column) const
    {
        const std::uint64_t w = width_of(headers_.data_type);
        const std::uint64_t index = index_of(one_d_, sections_, section_);
        const std::uint64_t per_section = (samples_.size());
        std::uint64_t within = column;
        if (!one_d_) {
            const std::uint64_t blocks_across = columns_ / kBlockSide;
            within = ((row / kBlockSide) * blocks_across + column / kBlockSide) * kBlockSide * kBlockSide +
                     (row % kBlockSide) * kBlockSide + column % kBlockSide;
        }
        return headers_.data_start + (index * per_section + within) * w;
    }

    const Headers& headers_;
    std::uint32_t sections_;
    bool one_d_;
    Section section_ = Section::Re;
    std::uint64_t columns_ = 0;
    std::vector<double> samples_;
    bool open_ = false;
    std::vector<NonFiniteSamples> found_;
};

}  // namespace

Result<std::vector<NonFiniteSamples>> scan_samples(ByteSource& src, const Headers& headers)
{
    ScanSink sink(headers, get_data_section_count(headers.data_axis_type));
    VORN_TRY(read_data_into(src, headers, sink));
    return sink.take();
}

}  // namespace vorn
