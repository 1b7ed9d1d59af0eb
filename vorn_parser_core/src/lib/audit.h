// The checker: reads a file with the readers of a parse and reports the
// reader's own failure at the field where it lies, and what a successful read
// loses or finds odd without saying so (dropped points and sections, texts
// without their spaces, dates that are no dates, bytes after the data, ...).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "audit_codes.h"
#include "byte_source.h"

namespace vorn {

struct Finding {
    std::string code;                     // "VC103", see audit_codes.h
    std::string severity;                 // "error" or "warning"
    std::optional<std::uint64_t> offset;  // the first byte of the field; none when no byte is at fault
    std::string field;                    // the field's path in the result document, "headers.title"
    std::string text;                     // one line

    template <class Out>
    void serialize(Out& out) const
    {
        out.field("code", code);
        out.field("severity", severity);
        out.field("offset", offset);
        out.field("field", field);
        out.field("text", text);
    }
    bool operator==(const Finding&) const = default;
};

// "ok", "warnings", "damaged" or "not this kind".
struct Audit {
    std::string verdict;
    std::vector<Finding> findings;  // the reader's failure first, then in file order
    bool interrupted = false;       // a blocking read was ended by the interrupt check

    template <class Out>
    void serialize(Out& out) const
    {
        out.field("verdict", verdict);
        out.field("findings", findings);
    }
};

struct AuditOptions {
    // Decode the samples too, counting the non-finite ones; without it the
    // data section is checked by its size alone, as the reader checks it
    // before decoding.
    bool samples = false;
};

// Checks the file from the source's start.
Audit audit_source(ByteSource& src, AuditOptions options);

// Opens the container and checks it; an open failure is a finding.
Audit audit_container(DataContainer container, AuditOptions options);

}  // namespace vorn
