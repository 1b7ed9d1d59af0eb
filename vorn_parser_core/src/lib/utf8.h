// Strict UTF-8 decoding of one character, shared by validation and lower-casing.
#pragma once

#include <cstddef>
#include <string_view>

namespace vorn {

struct Utf8Char {
    char32_t cp;
    std::size_t length;  // bytes taken
};

// Stands for a byte that starts no well-formed sequence; it takes that one byte.
inline constexpr char32_t kNotUtf8 = 0xFFFFFFFF;

// Decodes the character that starts at byte i (< text.size()). Only
// well-formed sequences decode: no overlong forms, surrogates, code points
// above U+10FFFF or cut-off sequences, and nothing is read past the text.
inline Utf8Char decode_utf8(std::string_view text, std::size_t i) noexcept
{
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    if (lead < 0x80) return {lead, 1};
    std::size_t length;
    char32_t cp;
    unsigned char lo = 0x80, hi = 0xBF;  // bounds of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        cp = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        cp = lead & 0x0Fu;
        if (lead == 0xE0) lo = 0xA0;
        if (lead == 0xED) hi = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        cp = lead & 0x07u;
        if (lead == 0xF0) lo = 0x90;
        if (lead == 0xF4) hi = 0x8F;
    } else {
        return {kNotUtf8, 1};
    }
    if (text.size() - i < length) return {kNotUtf8, 1};
    for (std::size_t k = 1; k < length; ++k) {
        const unsigned char c = byte(i + k);
        if (c < lo || c > hi) return {kNotUtf8, 1};
        cp = cp << 6 | (c & 0x3Fu);
        lo = 0x80;  // later bytes are plain continuation bytes
        hi = 0xBF;
    }
    return {cp, length};
}

}  // namespace vorn
