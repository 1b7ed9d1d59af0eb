// Fixed-width text decoding.
#include "text.h"

#include <algorithm>

#include "field.h"
#include "internal_failure.h"
#include "utf8.h"

namespace vorn {

bool is_valid_utf8(std::string_view text) noexcept
{
    for (std::size_t i = 0; i < text.size();) {
        const Utf8Char c = decode_utf8(text, i);
        if (c.cp == kNotUtf8) return false;
        i += c.length;
    }
    return true;
}

std::string read_string(std::vector<std::uint8_t> bytes, bool lowercase)
{
    std::string text(bytes.begin(), bytes.end());
    if (!is_valid_utf8(text)) fail("text field is not valid UTF-8");
    // NUL and space are single bytes in UTF-8 and never part of a longer
    // sequence, so byte-wise trimming is character-wise trimming.
    while (!text.empty() && text.back() == '\0') text.pop_back();
    while (!text.empty() && text.back() == ' ') text.pop_back();
    text.erase(std::remove(text.begin(), text.end(), ' '), text.end());
    if (lowercase) return to_lower_unicode(text);
    return text;
}

Result<std::string> read_text(ByteSource& src, std::size_t width, bool lowercase)
{
    VORN_ASSIGN_OR_RETURN(auto bytes, src.read_bytes(width));
    return read_string(std::move(bytes), lowercase);
}

}  // namespace vorn
