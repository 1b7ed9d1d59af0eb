// The parse driver: header, parameter block, data section, then the summary.
#include "vorn_data_file.h"

#include "field.h"
#include "internal_failure.h"

namespace vorn {

std::string render(const ParseError& error)
{
    if (const auto* read = std::get_if<ReadError>(&error)) return render(*read);
    if (const auto* open = std::get_if<OpenError>(&error)) return open->text();
    return std::get<Interrupted>(error).text();
}

// The byte order of the parameter block and the data section.
ByteOrder order_of(const Headers& headers)
{
    return headers.endian == "littleEndian" ? ByteOrder::Little : ByteOrder::Big;
}

ParseError parse_error(ReadError error)
{
    if (error.is_interrupted()) return Interrupted{};
    return error;
}

namespace {

Result<Headers> read_header_step(ByteSource& src)
{
    return read_field(src, "headers", "VornDataFile", [&] { return read_headers(src); });
}

// A failed seek carries no frame of ours; failures inside a block do.
Result<Parameters> read_parameter_step(ByteSource& src, const Headers& headers)
{
    VORN_TRY(src.seek(headers.param_start));
    const ByteOrder order = order_of(headers);
    return read_field(src, "parameters", "VornDataFile", [&] { return read_parameters(src, order); });
}

Result<Data> read_data_step(ByteSource& src, const Headers& h)
{
    VORN_TRY(src.seek(h.data_start));
    const ByteOrder order = order_of(h);
    return read_field(src, "data", "VornDataFile", [&] {
        return read_data(src, order, h.data_axis_type, h.data_type, h.data_format, h.data_points);
    });
}

Result<VornDataFile> read_file(ByteSource& src)
{
    return read_record(src, [&]() -> Result<VornDataFile> {
        VornDataFile file;
        file.headers = VORN_TRY(read_header_step(src));
        file.parameters = VORN_TRY(read_parameter_step(src, file.headers));
        file.data = VORN_TRY(read_data_step(src, file.headers));
        file.info = extract_info(file.headers, file.parameters, file.data);
        return file;
    });
}

}  // namespace

Result<FileMetadata> read_metadata(ByteSource& src)
{
    return read_record(src, [&]() -> Result<FileMetadata> {
        FileMetadata meta;
        meta.headers = VORN_TRY(read_header_step(src));
        meta.parameters = VORN_TRY(read_parameter_step(src, meta.headers));
        return meta;
    });
}

Status read_data_into(ByteSource& src, const Headers& h, SectionSink& sink)
{
    const std::uint32_t count = VORN_TRY(read_record(src, [&]() -> Result<std::uint32_t> {
        VORN_TRY(src.seek(h.data_start));
        const ByteOrder order = order_of(h);
        return read_field(src, "data", "VornDataFile", [&] {
            return read_sections(src, order, h.data_axis_type, h.data_type, h.data_format, h.data_points, sink);
        });
    }));
    // As building the fields of a parse: only two and four sections have them.
    if (count != 2 && count != 4) fail("internal error: entered unreachable code");
    return Ok{};
}

Result<VornDataFile, ParseError> parse_from_filepath(DataContainer container)
{
    auto source = std::move(container).load_data();
    if (!source) {
        if (source.error().interrupted) return ParseError(Interrupted{});
        return ParseError(std::move(source).error());
    }
    auto file = read_file(*source);
    if (!file) return parse_error(std::move(file).error());
    return std::move(*file);
}

}  // namespace vorn
