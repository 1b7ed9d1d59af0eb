// Failed reads described as facts.
#include "failure.h"

#include "headers.h"

namespace vorn {

namespace {

constexpr std::string_view kErrorValueFound = "An error value was found where a successful result was required";

FailureFacts from_read_error(const ReadError& error)
{
    FailureFacts facts;
    facts.kind = error.is_interrupted()                      ? FailureKind::Interrupted
                 : error.is_short_read() || error.position() ? FailureKind::Damaged
                                                             : FailureKind::Io;
    facts.reason = error.root_cause();
    facts.position = error.position();
    for (const ContextFrame& frame : error.frames()) {
        // The outermost frame of a parse names the block; it is no field of a record.
        if (frame.record == "VornDataFile") {
            facts.block = frame.field;
            continue;
        }
        facts.frames.push_back(FieldFrame{frame.field, frame.record});
    }
    facts.details = std::string(kErrorValueFound) + ": " + render(error);
    return facts;
}

}  // namespace

std::string_view kind_name(FailureKind kind) noexcept
{
    switch (kind) {
    case FailureKind::NotThisKind:
        return "not-this-kind";
    case FailureKind::Damaged:
        return "damaged";
    case FailureKind::Io:
        return "io";
    case FailureKind::Interrupted:
        return "interrupted";
    case FailureKind::Internal:
        break;
    }
    return "internal";
}

std::optional<std::string> identifying_fields_failure(std::span<const std::uint8_t> lead)
{
    ByteSource src = ByteSource::borrowing(lead.first(std::min(lead.size(), kIdentifyingBytes)));
    try {
        // Fields that decode let the read go on until it runs out of bytes.
        (void)read_headers(src);
    } catch (const InternalFailure& failure) {
        return failure.message();
    }
    return std::nullopt;
}

FailureFacts describe_failure(const ParseError& error)
{
    if (const auto* read = std::get_if<ReadError>(&error)) return from_read_error(*read);
    FailureFacts facts;
    if (const auto* open = std::get_if<OpenError>(&error)) {
        facts.kind = open->interrupted ? FailureKind::Interrupted : FailureKind::Io;
        facts.reason = open->text();
    } else {
        facts.kind = FailureKind::Interrupted;
        facts.reason = std::get<Interrupted>(error).text();
    }
    facts.details = std::string(kErrorValueFound) + ": " + facts.reason;
    return facts;
}

FailureFacts describe_failure(const InternalFailure& failure, std::span<const std::uint8_t> lead)
{
    FailureFacts facts;
    facts.reason = failure.message();
    facts.details = failure.message();
    const auto lead_failure = identifying_fields_failure(lead);
    facts.kind = lead_failure && *lead_failure == failure.message() ? FailureKind::NotThisKind : FailureKind::Damaged;
    return facts;
}

std::vector<std::uint8_t> lead_of(ByteSource& src)
{
    std::vector<std::uint8_t> lead;
    const std::uint64_t at = src.position();
    if (src.seek(0)) {
        for (std::size_t i = 0; i < kIdentifyingBytes; ++i) {
            auto byte = src.read_u8();
            if (!byte) break;
            lead.push_back(*byte);
        }
    }
    (void)src.seek(at);
    return lead;
}

}  // namespace vorn
