// Fixed-width text fields: strict UTF-8, NUL and space trimming, lower-casing.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "byte_source.h"
#include "read_error.h"

namespace vorn {

// True when the bytes are well-formed UTF-8 (no overlong forms, surrogates or
// code points above U+10FFFF).
bool is_valid_utf8(std::string_view bytes) noexcept;

// Full Unicode lower-case mapping of valid UTF-8 text, with the final-sigma
// rule and the multi-character mappings (U+0130 becomes "i\u0307").
std::string to_lower_unicode(std::string_view utf8);

// Decodes one fixed-width text field: the whole run must be valid UTF-8 (bytes
// after a NUL included; otherwise an internal failure), trailing NULs are
// dropped, then trailing spaces, then every remaining space; finally the text
// is lower-cased when asked. Interior NULs and other white space stay.
std::string read_string(std::vector<std::uint8_t> bytes, bool lowercase);

// Reads a text field of `width` bytes and decodes it as read_string does; a
// short run fails with "not enough bytes in reader".
Result<std::string> read_text(ByteSource& src, std::size_t width, bool lowercase = false);

}  // namespace vorn
