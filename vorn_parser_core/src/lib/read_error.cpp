// ReadError construction, context wrapping and rendering.
#include "read_error.h"

#include <cstdio>

namespace vorn {

ContextFrame ContextFrame::for_field(std::string_view field, std::string_view record, SourceLoc where)
{
    std::string message;
    message.reserve(30 + field.size() + record.size());
    message.append("While parsing field '").append(field).append("' in ").append(record);
    return ContextFrame{std::move(message), where, std::string(field), std::string(record)};
}

ReadError ReadError::io(std::string text) { return ReadError(std::move(text)); }

ReadError ReadError::short_read(std::string_view text)
{
    ReadError error{std::string(text)};
    error.short_ = true;
    return error;
}

ReadError ReadError::assertion(std::string_view message, std::uint64_t position)
{
    char hex[24];
    std::snprintf(hex, sizeof hex, "%llx", static_cast<unsigned long long>(position));
    std::string text(message);
    text.append(" at 0x").append(hex);
    ReadError error{std::move(text)};
    error.position_ = position;
    return error;
}

ReadError ReadError::interrupted()
{
    ReadError error{std::string(kInterrupted)};
    error.interrupted_ = true;
    return error;
}

ReadError with_context(ReadError error, ContextFrame frame)
{
    error.frames_.push_back(std::move(frame));
    return error;
}

std::string render(const ReadError& error)
{
    std::string out = "\n---- read error, innermost field first ----\n";
    const auto& frames = error.frames();
    if (frames.empty()) {
        out.append(" 0: Error: ").append(error.root_cause()).append("\n");
    }
    for (std::size_t i = 0; i < frames.size(); ++i) {
        out.append(" ").append(std::to_string(i)).append(": ");
        if (i == 0) {
            out.append("Error: ").append(error.root_cause()).append("\n    ");
        }
        out.append(frames[i].message).append("\n");
        out.append("      at ").append(frames[i].where.file).append(":");
        out.append(std::to_string(frames[i].where.line)).append("\n");
    }
    out.append("--------------------------------------------");
    return out;
}

}  // namespace vorn
