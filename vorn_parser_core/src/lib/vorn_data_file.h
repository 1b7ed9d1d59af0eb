// VornDataFile and parse_from_filepath, the core's single entry.
#pragma once

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

    template <class Out>
    void serialize(Out& out) const
    {
        out.field("headers", headers);
        out.field("parameters", parameters);
        out.field("data", data);
        out.field("info", info);
    }
};

// Either the open failure or the ReadError of the first block that failed.
using ParseError = std::variant<OpenError, ReadError>;

// The text that ends the message of a failed parse.
std::string render(const ParseError& error);

// Reads a whole file: header, parameters, data, then the summary. Internal
// failures leave as InternalFailure exceptions.
Result<VornDataFile, ParseError> parse_from_filepath(DataContainer container);

}  // namespace vorn
