// Fixed-width text decoding.
#include "text.h"

#include <algorithm>

#include "internal_failure.h"

namespace vorn {

bool is_valid_utf8(std::string_view text) noexcept
{
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        const unsigned char c = s[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t len;
        unsigned char lo = 0x80, hi = 0xBF;  // bounds of the second byte
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            if (c == 0xE0) lo = 0xA0;
            if (c == 0xED) hi = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            if (c == 0xF0) lo = 0x90;
            if (c == 0xF4) hi = 0x8F;
        } else {
            return false;
        }
        if (n - i < len) return false;
        if (s[i + 1] < lo || s[i + 1] > hi) return false;
        for (std::size_t k = 2; k < len; ++k) {
            if (s[i + k] < 0x80 || s[i + k] > 0xBF) return false;
        }
        i += len;
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

}  // namespace vorn
