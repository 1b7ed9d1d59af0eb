// The field offsets of the header block and of a parameter record.
#include "audit_layout.h"

#include <algorithm>
#include <array>
#include <string_view>

#include "code_tables.h"
#include "headers.h"
#include "text.h"

namespace vorn {

namespace {

// How the header reader reads a field, as far as a failure is concerned.
enum class Kind {
    Plain,    // numbers or raw bytes: only a cut fails them
    Text,     // read_string: must be UTF-8 (each element, for a list)
    Code,     // one code byte per element, looked up in `table`
    Layout,   // the data-type byte: its low six bits in DATA_FORMAT
    Nibbles,  // two codes per byte, in DATA_AXIS_RANGED
    Units,    // elements of two bytes: prefix and power, then a BASE code
};

struct HeaderField {
    std::uint32_t offset;
    std::uint32_t width;
    std::string_view name;   // the output key
    std::uint32_t elements;  // 1 for a single field
    bool one_run;            // its elements are read as one run of bytes
    Kind kind;
    const CodeTable& (*table)();
};

constexpr const CodeTable& (*kNoTable)() = nullptr;

// In reading order; gaps (the three bytes skipped before annotationOk) belong
// to the field after them.
constexpr std::array<HeaderField, 44> kHeaderFields = {{
    {0, 8, "fileIdentifier", 1, true, Kind::Text, kNoTable},
    {8, 1, "endian", 1, false, Kind::Code, &ENDIANNESS},
    {9, 1, "majorVersion", 1, false, Kind::Plain, kNoTable},
    {10, 2, "minorVersion", 1, false, Kind::Plain, kNoTable},
    {12, 1, "dataDimensionNumber", 1, false, Kind::Plain, kNoTable},
    {13, 1, "dataDimensionExist", 1, false, Kind::Plain, kNoTable},
    {14, 1, "dataFormat", 1, false, Kind::Layout, kNoTable},
    {15, 1, "dataInstrument", 1, false, Kind::Code, &INSTRUMENT_TABLE},
    {16, 8, "translate", 8, true, Kind::Plain, kNoTable},
    {24, 8, "dataAxisType", 8, true, Kind::Code, &DATA_AXIS_TYPE},
    {32, 16, "dataUnits", 8, false, Kind::Units, kNoTable},
    {48, 124, "title", 1, true, Kind::Text, kNoTable},
    {172, 4, "dataAxisRanged", 4, true, Kind::Nibbles, kNoTable},
    {176, 32, "dataPoints", 8, false, Kind::Plain, kNoTable},
    {208, 32, "dataOffsetStart", 8, false, Kind::Plain, kNoTable},
    {240, 32, "dataOffsetStop", 8, false, Kind::Plain, kNoTable},
    {272, 64, "dataAxisStart", 8, false, Kind::Plain, kNoTable},
    {336, 64, "dataAxisStop", 8, false, Kind::Plain, kNoTable},
    {400, 4, "creationTime", 1, true, Kind::Plain, kNoTable},
    {404, 4, "revisionTime", 1, true, Kind::Plain, kNoTable},
    {408, 16, "nodeName", 1, true, Kind::Text, kNoTable},
    {424, 128, "site", 1, true, Kind::Text, kNoTable},
    {552, 128, "author", 1, true, Kind::Text, kNoTable},
    {680, 128, "comment", 1, true, Kind::Text, kNoTable},
    {808, 256, "dataAxisTitles", 8, true, Kind::Text, kNoTable},
    {1064, 64, "baseFreq", 8, false, Kind::Plain, kNoTable},
    {1128, 64, "zeroPoint", 8, false, Kind::Plain, kNoTable},
    {1192, 8, "reversed", 8, true, Kind::Plain, kNoTable},
    {1203, 1, "annotationOk", 1, false, Kind::Plain, kNoTable},
    {1204, 4, "historyUsed", 1, false, Kind::Plain, kNoTable},
    {1208, 4, "historyLength", 1, false, Kind::Plain, kNoTable},
    {1212, 4, "paramStart", 1, false, Kind::Plain, kNoTable},
    {1216, 4, "paramLength", 1, false, Kind::Plain, kNoTable},
    {1220, 32, "listStart", 8, false, Kind::Plain, kNoTable},
    {1252, 32, "listLength", 8, false, Kind::Plain, kNoTable},
    {1284, 4, "dataStart", 1, false, Kind::Plain, kNoTable},
    {1288, 8, "dataLength", 1, false, Kind::Plain, kNoTable},
    {1296, 8, "contextStart", 1, false, Kind::Plain, kNoTable},
    {1304, 4, "contextLength", 1, false, Kind::Plain, kNoTable},
    {1308, 8, "annoteStart", 1, false, Kind::Plain, kNoTable},
    {1316, 4, "annoteLength", 1, false, Kind::Plain, kNoTable},
    {1320, 8, "totalSize", 1, false, Kind::Plain, kNoTable},
    {1328, 8, "unitLocation", 8, true, Kind::Plain, kNoTable},
    {1336, 24, "compoundUnit", 2, false, Kind::Plain, kNoTable},
}};

constexpr std::span<const HeaderField> header_fields() { return kHeaderFields; }

constexpr bool fields_tile_the_header()
{
    std::uint32_t at = 0;
    for (const HeaderField& f : header_fields()) {
        if (f.offset < at || f.offset > at + 3 || f.width % f.elements != 0) return false;
        at = f.offset + f.width;
    }
    return at == kHeaderSize;
}
static_assert(fields_tile_the_header(), "the header fields must follow each other up to the block's end");

std::string element_path(std::string_view prefix, std::string_view name, std::uint32_t elements, std::uint64_t index)
{
    std::string path(prefix);
    path.append(name);
    if (elements > 1) path.append("[").append(std::to_string(index)).append("]");
    return path;
}

Place header_place(const HeaderField& f, std::uint64_t element)
{
    const std::uint64_t element_width = f.width / f.elements;
    return Place{f.offset + element * element_width, element_path("headers.", f.name, f.elements, element)};
}

bool utf8(std::span<const std::uint8_t> bytes)
{
    return is_valid_utf8(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

// The first element of a header field that the reader cannot decode.
std::optional<Undecodable> undecodable_element(const HeaderField& f, std::span<const std::uint8_t> bytes)
{
    const std::uint32_t element_width = f.width / f.elements;
    for (std::uint32_t e = 0; e < f.elements; ++e) {
        const auto element = bytes.subspan(std::size_t{e} * element_width, element_width);
        bool bad = false;
        switch (f.kind) {
        case Kind::Plain:
            break;
        case Kind::Text:
            bad = !utf8(element);
            break;
        case Kind::Code:
            bad = !f.table().has(element[0]);
            break;
        case Kind::Layout:
            bad = !DATA_FORMAT().has(element[0] & 0x3F);
            break;
        case Kind::Nibbles:
            bad = !DATA_AXIS_RANGED().has(element[0] >> 4) || !DATA_AXIS_RANGED().has(element[0] & 0x0F);
            break;
        case Kind::Units:
            bad = !BASE().has(element[1]);
            break;
        }
        if (bad) {
            Place place = header_place(f, e);
            // A unit's code is its second byte.
            if (f.kind == Kind::Units) place.offset += 1;
            if (f.kind == Kind::Nibbles) {
                // Two axes a byte: the high half is the first.
                const bool high = !DATA_AXIS_RANGED().has(element[0] >> 4);
                place.field = element_path("headers.", f.name, 8, 2 * e + (high ? 0 : 1));
            }
            return Undecodable{std::move(place), f.kind == Kind::Text};
        }
    }
    return std::nullopt;
}

}  // namespace

Place header_place_cut_at(std::uint64_t end)
{
    for (const HeaderField& f : header_fields()) {
        if (f.offset + f.width <= end) continue;
        if (f.one_run) return Place{f.offset, "headers." + std::string(f.name)};
        if (end <= f.offset) return header_place(f, 0);
        return header_place(f, (end - f.offset) / (f.width / f.elements));
    }
    return Place{kHeaderSize, "headers"};
}

std::optional<Undecodable> first_undecodable_header_field(std::span<const std::uint8_t> header)
{
    for (const HeaderField& f : header_fields()) {
        if (f.offset + f.width > header.size()) break;
        if (auto bad = undecodable_element(f, header.subspan(f.offset, f.width))) return bad;
    }
    return std::nullopt;
}

std::vector<TextField> header_text_fields()
{
    std::vector<TextField> out;
    for (const HeaderField& f : header_fields()) {
        if (f.kind != Kind::Text) continue;
        const std::uint32_t element_width = f.width / f.elements;
        for (std::uint32_t e = 0; e < f.elements; ++e) {
            out.push_back({f.offset + std::uint64_t{e} * element_width, element_width,
                           element_path("headers.", f.name, f.elements, e)});
        }
    }
    return out;
}

std::uint64_t param_record_at(std::uint64_t param_start, std::uint64_t index)
{
    return param_start + kParamBlockHead + index * kParamRecord;
}

std::string param_path(std::uint64_t index, std::string_view field)
{
    std::string path = "parameters.paramArray[" + std::to_string(index) + "]";
    if (!field.empty()) path.append(".").append(field);
    return path;
}

Place parameter_place_cut_at(std::uint64_t param_start, std::uint64_t end)
{
    static constexpr std::string_view kWords[] = {"parametersSize", "lowIndex", "highIndex", "totalSize"};
    const std::uint64_t into = end > param_start ? end - param_start : 0;
    if (into < kParamBlockHead) {
        const std::uint64_t word = into / 4;
        return Place{param_start + word * 4, "parameters." + std::string(kWords[word])};
    }
    const std::uint64_t index = (into - kParamBlockHead) / kParamRecord;
    const std::uint64_t record = param_record_at(param_start, index);
    const std::uint64_t at = (into - kParamBlockHead) % kParamRecord;
    // A record is read as: (4 bytes skipped) scaler, five units, the value kind
    // at 32, then the value at 16 and the name at 36.
    if (at < 6) return Place{record + 4, param_path(index, "scaler")};
    if (at < 16) {
        const std::uint64_t unit = (at - 6) / 2;
        return Place{record + 6 + 2 * unit, param_path(index, "unit[" + std::to_string(unit) + "]")};
    }
    if (at < 36) return Place{record + 32, param_path(index, "valueType")};
    return Place{record + kParamNameAt, param_path(index, "name")};
}

std::optional<Undecodable> first_undecodable_parameter(std::span<const std::uint8_t> block, std::uint64_t param_start,
                                                       ByteOrder order)
{
    if (block.size() < kParamBlockHead) return std::nullopt;
    // The last record may be cut: the fields read before the cut count too.
    const std::uint64_t records = (block.size() - kParamBlockHead + kParamRecord - 1) / kParamRecord;
    for (std::uint64_t index = 0; index < records; ++index) {
        const std::size_t at = static_cast<std::size_t>(kParamBlockHead + index * kParamRecord);
        const auto r = block.subspan(at, std::min<std::size_t>(kParamRecord, block.size() - at));
        const std::uint64_t record = param_record_at(param_start, index);
        for (std::size_t unit = 0; unit < 5; ++unit) {
            if (r.size() < 8 + 2 * unit) return std::nullopt;
            if (!BASE().has(r[7 + 2 * unit])) {
                return Undecodable{{record + 7 + 2 * unit, param_path(index, "unit[" + std::to_string(unit) + "]")},
                                   false};
            }
        }
        // The kind is the low byte of a 32-bit word in the block's byte order.
        if (r.size() < kParamNameAt) return std::nullopt;
        const std::size_t low = order == ByteOrder::Little ? 32 : 35;
        const std::uint8_t kind = r[low];
        if (!VALUE_TYPE().has(kind)) return Undecodable{{record + low, param_path(index, "valueType")}, false};
        if (kind == static_cast<std::uint8_t>(ValueType::String) && !utf8(r.subspan(kParamValueAt, kParamValueWidth))) {
            return Undecodable{{record + kParamValueAt, param_path(index, "value")}, true};
        }
        if (r.size() < kParamRecord) return std::nullopt;
        if (!utf8(r.subspan(kParamNameAt, kParamNameWidth))) {
            return Undecodable{{record + kParamNameAt, param_path(index, "name")}, true};
        }
    }
    return std::nullopt;
}

}  // namespace vorn
