// The parse driver: header, parameter block, data section, then the summary.
#include "vorn_data_file.h"

#include "field.h"

namespace vorn {

std::string render(const ParseError& error)
{
    if (const auto* read = std::get_if<ReadError>(&error)) return render(*read);
    if (const auto* open = std::get_if<OpenError>(&error)) return open->text();
    return std::get<Interrupted>(error).text();
}

namespace {

// The byte order of the parameter block and the data section.
ByteOrder order_of(const Headers& headers)
{
    return headers.endian == "littleEndian" ? ByteOrder::Little : ByteOrder::Big;
}

Result<VornDataFile> read_file(ByteSource& src)
{
    return read_record(src, [&]() -> Result<VornDataFile> {
        VornDataFile file;
        file.headers = VORN_TRY(read_field(src, "headers", "VornDataFile", [&] { return read_headers(src); }));
        const ByteOrder order = order_of(file.headers);
        // A failed seek carries no frame of ours; failures inside a block do.
        VORN_TRY(src.seek(file.headers.param_start));
        file.parameters =
            VORN_TRY(read_field(src, "parameters", "VornDataFile", [&] { return read_parameters(src, order); }));
        VORN_TRY(src.seek(file.headers.data_start));
        const Headers& h = file.headers;
        file.data = VORN_TRY(read_field(src, "data", "VornDataFile", [&] {
            return read_data(src, order, h.data_axis_type, h.data_type, h.data_format, h.data_points);
        }));
        file.info = extract_info(file.headers, file.parameters, file.data);
        return file;
    });
}

}  // namespace

Result<VornDataFile, ParseError> parse_from_filepath(DataContainer container)
{
    auto source = std::move(container).load_data();
    if (!source) {
        if (source.error().interrupted) return ParseError(Interrupted{});
        return ParseError(std::move(source).error());
    }
    auto file = read_file(*source);
    if (!file) {
        if (file.error().is_interrupted()) return ParseError(Interrupted{});
        return ParseError(std::move(file).error());
    }
    return std::move(*file);
}

}  // namespace vorn
