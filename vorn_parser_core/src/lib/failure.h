// A failed read as facts rather than text: what kind of failure it is, its
// root reason, the fields being read (innermost first), where a failed check
// found its value and the block it lies in.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "internal_failure.h"
#include "vorn_data_file.h"

namespace vorn {

enum class FailureKind {
    NotThisKind,  // the header's identifying fields do not decode: not a file of this kind
    Damaged,      // a file of this kind that is cut short, damaged or of a layout not read
    Io,           // the operating system could not open or read it
    Interrupted,  // a signal ended a blocking open or read
    Internal,     // a fault of the reader itself
};

std::string_view kind_name(FailureKind kind) noexcept;

struct FieldFrame {
    std::string field;
    std::string record;
};

struct FailureFacts {
    FailureKind kind = FailureKind::Internal;
    std::string reason;              // the root reason, as the core words it
    std::vector<FieldFrame> frames;  // innermost first
    std::optional<std::uint64_t> position;
    std::string block;    // "headers", "parameters", "data", or empty
    std::string details;  // the whole message, as vorn_parser words it
};

// The header's first fields, those that say what the file is: identifier,
// byte order, version, dimensions and layout.
inline constexpr std::size_t kIdentifyingBytes = 15;

// The failure message when the identifying fields in `lead` (the content's
// first bytes) do not decode; none when they do, or when there are too few
// bytes to tell.
std::optional<std::string> identifying_fields_failure(std::span<const std::uint8_t> lead);

// A failed parse as facts.
FailureFacts describe_failure(const ParseError& error);

// A check that ended the read (an unknown code, text that is not UTF-8, a
// malformed digital filter): the file is damaged, or not of this kind when
// its identifying fields in `lead` fail the same way.
FailureFacts describe_failure(const InternalFailure& failure, std::span<const std::uint8_t> lead);

// The lead of `src` for the check above: its first kIdentifyingBytes bytes
// (fewer where it is shorter); the position is left where it was.
std::vector<std::uint8_t> lead_of(ByteSource& src);

}  // namespace vorn
