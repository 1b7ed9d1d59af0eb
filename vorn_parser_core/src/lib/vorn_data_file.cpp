// The parse driver: header, parameter block, data section, then the summary.
#include "vorn_data_file.h"

#include <iostream>

#include "code_tables.h"
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
    return is(headers.endian, Endianness::Little) ? ByteOrder::Little : ByteOrder::Big;
}

ParseError parse_error(ReadError error)
{
    if (error.is_interrupted()) return Interrupted{};
    return error;
}

namespace {

constexpr std::string_view kFile = "VornDataFile";

Result<Headers> read_header_step(ByteSource& src) { return field(src, "headers", kFile).read(read_headers(src)); }

// A failed seek carries no frame of ours; failures inside a block do.
Result<Parameters> read_parameter_step(ByteSource& src, const Headers& headers)
{
    VORN_TRY(src.seek(headers.param_start));
    return field(src, "parameters", kFile).read(read_parameters(src, order_of(headers)));
}

Result<Data> read_data_step(ByteSource& src, const Headers& h)
{
    VORN_TRY(src.seek(h.data_start));
    return field(src, "data", kFile)
        .read(read_data(src, order_of(h), h.data_axis_type, h.data_type, h.data_format, h.data_points));
}

// The data step into a sink, with the seek and frame of read_data_step.
Result<std::uint32_t> read_section_step(ByteSource& src, const Headers& h, SectionSink& sink)
{
    VORN_TRY(src.seek(h.data_start));
    return field(src, "data", kFile)
        .read(read_sections(src, order_of(h), h.data_axis_type, h.data_type, h.data_format, h.data_points, sink));
}

Result<VornDataFile> read_blocks(ByteSource& src, std::ostream* filter_lines)
{
    VornDataFile file;
    VORN_ASSIGN_OR_RETURN(file.headers, read_header_step(src));
    VORN_ASSIGN_OR_RETURN(file.parameters, read_parameter_step(src, file.headers));
    VORN_ASSIGN_OR_RETURN(file.data, read_data_step(src, file.headers));
    file.info = extract_info(file.headers, file.parameters, filter_lines);
    return file;
}

Result<FileMetadata> read_metadata_blocks(ByteSource& src)
{
    FileMetadata meta;
    VORN_ASSIGN_OR_RETURN(meta.headers, read_header_step(src));
    VORN_ASSIGN_OR_RETURN(meta.parameters, read_parameter_step(src, meta.headers));
    return meta;
}

}  // namespace

Result<VornDataFile> read_document(ByteSource& src, std::ostream* filter_lines)
{
    return record(src).read(read_blocks(src, filter_lines));
}

Result<FileMetadata> read_metadata(ByteSource& src) { return record(src).read(read_metadata_blocks(src)); }

Status read_data_into(ByteSource& src, const Headers& h, SectionSink& sink)
{
    VORN_ASSIGN_OR_RETURN(const std::uint32_t count, record(src).read(read_section_step(src, h, sink)));
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
    auto file = read_document(*source, &std::cout);
    if (!file) return parse_error(std::move(file).error());
    return std::move(*file);
}

}  // namespace vorn
