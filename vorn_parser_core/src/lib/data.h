// The data section: sections of samples in the One_D or Two_D layout.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "byte_source.h"
#include "read_error.h"

namespace vorn {

using Row = std::vector<double>;
using Matrix = std::vector<Row>;

// The Pair form of a DataField.
struct DataPair {
    Matrix im;
    Matrix re;

    // Also writable, for a consumer that takes the samples over.
    template <class Out>
    void serialize(Out& out) const
    {
        serialize(*this, out);
    }
    template <class Out>
    void serialize(Out& out)
    {
        serialize(*this, out);
    }
    template <class Self, class Out>
    static void serialize(Self& self, Out& out)
    {
        out.field("im", self.im);
        out.field("re", self.re);
    }
    bool operator==(const DataPair&) const = default;
};

// Output untagged: Single (one matrix) or Pair.
using DataField = std::variant<Matrix, DataPair>;

struct Data {
    DataField im;
    DataField re;

    // Also writable, for a consumer that takes the samples over.
    template <class Out>
    void serialize(Out& out) const
    {
        serialize(*this, out);
    }
    template <class Out>
    void serialize(Out& out)
    {
        serialize(*this, out);
    }
    template <class Self, class Out>
    static void serialize(Self& self, Out& out)
    {
        out.field("im", self.im);
        out.field("re", self.re);
    }
    bool operator==(const Data&) const = default;
};

// Where a section of the file goes. The reader decides from the layout and
// the section count; sections that no field keeps are decoded and dropped.
enum class Section { Re, Im, ReIm, ImRe };

// The sections' display names, in the order of Section.
inline constexpr std::string_view kSectionNames[] = {"re", "im", "re_im", "im_re"};

constexpr std::string_view section_name(Section section) noexcept
{
    return kSectionNames[static_cast<std::size_t>(section)];
}

// Where one row of a section is decoded to: its first sample, and the step
// between samples in doubles (1 for a plain row; 2 to interleave two sections
// as the real and imaginary parts of complex numbers).
struct RowSlots {
    double* first;
    std::size_t step;
};

// Receives the sections of a data section as the reader decodes them, so the
// same reader fills rows of Python floats or caller-owned arrays.
class SectionSink {
public:
    virtual ~SectionSink() = default;
    // A section of rows x columns samples begins. Called only once its
    // samples are known to be in the source, so its size is no larger than
    // the file can fill (empty rows excepted, which the reader bounds).
    virtual void begin_section(Section section, std::uint64_t rows, std::uint64_t columns) = 0;
    // Row r of the section begun last; columns x step doubles must lie there.
    virtual RowSlots row(std::uint64_t r) = 0;
};

// The four named sections; those the file does not fill stay empty.
struct SectionMap {
    Matrix re;
    Matrix im;
    Matrix re_im;
    Matrix im_re;

    Matrix& operator[](Section section);
};

// The data step into a sink, read at the current position (the header's
// data_start); returns the section count. Fails as read_data does, frames
// included, except that a One_D count other than 2 or 4 is returned, not
// failed on: building fields is the caller's.
Result<std::uint32_t> read_sections(ByteSource& src, ByteOrder order, const std::vector<std::string>& data_axis_type,
                                    const std::string& data_type, const std::string& data_format,
                                    const std::vector<std::uint32_t>& data_points, SectionSink& sink);

// Two_D sections are stored as blocks of 32 runs of 32 samples; a partial
// block at the end of an axis is not stored.
inline constexpr std::uint64_t kBlock = 32;

// The width of one sample of the named type; none for a type not decoded.
std::optional<SampleWidth> sample_width(const std::string& data_type);

// 1, doubled by each "Complex" axis, plus one for the first "Real_Complex".
std::uint32_t get_data_section_count(const std::vector<std::string>& axis_types);

// One run of `count` samples of the named type, widened to double.
Result<Row> read_vector(ByteSource& src, ByteOrder order, const std::string& data_type, std::uint32_t count);

// The field of `part` (Section::Im or Section::Re): that section alone, or
// paired with its mixed partner (im_re, re_im) when there are four; moves the
// matrices it uses out of the map.
DataField store_data_result(SectionMap& sections, std::uint32_t count, Section part);

// The data step, read at the current position (the header's data_start).
Result<Data> read_data(ByteSource& src, ByteOrder order, const std::vector<std::string>& data_axis_type,
                       const std::string& data_type, const std::string& data_format,
                       const std::vector<std::uint32_t>& data_points);

}  // namespace vorn
