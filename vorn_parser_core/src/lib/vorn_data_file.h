// VornDataFile and parse_from_filepath, the core's single entry.
#pragma once

#include <iosfwd>
#include <string>
#include <variant>

#include "byte_source.h"
#include "data.h"
#include "headers.h"
#include "info.h"
#include "parameters.h"
#include "read_error.h"

namespace vorn {

struct VornDataFile {
    Headers headers;
    Parameters parameters;
    Data data;
    Info info;

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
        out.field("headers", self.headers);
        out.field("parameters", self.parameters);
        out.field("data", self.data);
        out.field("info", self.info);
    }
};

// A blocking open or read ended by the container's interrupt check; the
// caller that gave the check knows why.
struct Interrupted {
    std::string text() const { return std::string(kInterrupted); }
};

// The open failure, the ReadError of the first block that failed, or an
// interruption.
using ParseError = std::variant<OpenError, ReadError, Interrupted>;

// The text that ends the message of a failed parse.
std::string render(const ParseError& error);

// Reads a whole file: header, parameters, data, then the summary. Internal
// failures leave as InternalFailure exceptions.
Result<VornDataFile, ParseError> parse_from_filepath(DataContainer container);

// The whole file from a source already open, as parse_from_filepath reads
// it, with the digital-filter lines written to `filter_lines` (nowhere when
// it is null) instead of standard output.
Result<VornDataFile> read_document(ByteSource& src, std::ostream* filter_lines);

// The header and parameter blocks of a file, for reading its samples later.
struct FileMetadata {
    Headers headers;
    Parameters parameters;
};

// The first two steps of the parse, from the source's start; failures carry
// the same frames as in parse_from_filepath.
Result<FileMetadata> read_metadata(ByteSource& src);

// The data step of the parse into a sink: seeks to data_start and reads the
// sections with the same checks and frames as parse_from_filepath. A One_D
// section count other than 2 or 4 ends as the same internal failure.
Status read_data_into(ByteSource& src, const Headers& headers, SectionSink& sink);

// The byte order of the parameter block and the data section.
ByteOrder order_of(const Headers& headers);

// A failed read as a ParseError: an interruption, or the read error itself.
ParseError parse_error(ReadError error);

}  // namespace vorn
