// Unicode lower-casing: the default full mapping plus the final-sigma rule.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>

#include "text.h"
#include "utf8.h"

namespace vorn {
namespace {

struct LowerRun {
    std::uint32_t key;  // first << 11 | stride2 << 10 | (length - 1)
    std::int32_t delta;
};

struct LowerSpecial {
    char32_t cp;
    std::uint8_t length;
    char32_t out[3];
};

#include "unicode_lower_table.inc"

constexpr unsigned kKeyShift = 11;
constexpr char32_t kMaxCodePoint = 0x10FFFF;
constexpr char32_t kCapitalSigma = 0x03A3;
constexpr char32_t kSmallSigma = 0x03C3;
constexpr char32_t kFinalSigma = 0x03C2;

// The packed tables are sorted by first code point in the high bits; this key
// sorts after every entry that starts at or before cp.
constexpr std::uint32_t search_key(char32_t cp) noexcept
{
    return static_cast<std::uint32_t>(cp) << kKeyShift | ((1u << kKeyShift) - 1);
}

bool in_ranges(const std::uint32_t* begin, const std::uint32_t* end, char32_t cp) noexcept
{
    if (cp > kMaxCodePoint) return false;
    const std::uint32_t* it = std::upper_bound(begin, end, search_key(cp));
    if (it == begin) return false;
    --it;
    const std::uint32_t first = *it >> kKeyShift;
    const std::uint32_t length = (*it & ((1u << kKeyShift) - 1)) + 1;
    return cp - first < length;
}

bool is_cased(char32_t cp) noexcept { return in_ranges(std::begin(kCased), std::end(kCased), cp); }

bool is_case_ignorable(char32_t cp) noexcept
{
    return in_ranges(std::begin(kCaseIgnorable), std::end(kCaseIgnorable), cp);
}

// One-to-one lower-case mapping; code points without one map to themselves.
char32_t lower_single(char32_t cp) noexcept
{
    if (cp > kMaxCodePoint) return cp;
    const auto* begin = std::begin(kLowerRuns);
    const auto* it = std::upper_bound(begin, std::end(kLowerRuns), search_key(cp),
                                      [](std::uint32_t key, const LowerRun& run) { return key < run.key; });
    if (it == begin) return cp;
    --it;
    const std::uint32_t first = it->key >> kKeyShift;
    const std::uint32_t stride = ((it->key >> 10) & 1u) + 1;
    const std::uint32_t length = (it->key & 0x3FFu) + 1;
    const std::uint32_t offset = cp - first;
    if (offset % stride != 0 || offset / stride >= length) return cp;
    return static_cast<char32_t>(static_cast<std::int32_t>(cp) + it->delta);
}

const LowerSpecial* find_special(char32_t cp) noexcept
{
    const auto* end = std::end(kLowerSpecial);
    const auto* it = std::lower_bound(std::begin(kLowerSpecial), end, cp,
                                      [](const LowerSpecial& s, char32_t c) { return s.cp < c; });
    return it != end && it->cp == cp ? it : nullptr;
}

// Decodes the character that ends just before byte end (> 0). A byte that
// starts no well-formed sequence (kNotUtf8) has no mapping and no case
// property, and is copied through unchanged.
Utf8Char decode_before(std::string_view text, std::size_t end) noexcept
{
    std::size_t start = end - 1;
    while (start > 0 && end - start < 4 && (static_cast<unsigned char>(text[start]) & 0xC0u) == 0x80u) --start;
    const Utf8Char d = decode_utf8(text, start);
    if (d.cp == kNotUtf8 || start + d.length != end) return {kNotUtf8, 1};
    return d;
}

void append_utf8(std::string& out, char32_t cp)
{
    const auto unit = [](std::uint32_t v) { return static_cast<char>(static_cast<unsigned char>(v)); };
    if (cp < 0x80) {
        out += unit(cp);
    } else if (cp < 0x800) {
        out += unit(0xC0 | cp >> 6);
        out += unit(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += unit(0xE0 | cp >> 12);
        out += unit(0x80 | (cp >> 6 & 0x3F));
        out += unit(0x80 | (cp & 0x3F));
    } else {
        out += unit(0xF0 | cp >> 18);
        out += unit(0x80 | (cp >> 12 & 0x3F));
        out += unit(0x80 | (cp >> 6 & 0x3F));
        out += unit(0x80 | (cp & 0x3F));
    }
}

// The capital sigma at bytes [start, end) ends a word (Final_Sigma) when,
// looking past case-ignorable characters, a cased letter comes before it and
// none comes after it. The context is the original text, not its lower case.
bool is_final_sigma(std::string_view text, std::size_t start, std::size_t end) noexcept
{
    bool cased_before = false;
    for (std::size_t i = start; i > 0;) {
        const Utf8Char d = decode_before(text, i);
        if (!is_case_ignorable(d.cp)) {
            cased_before = is_cased(d.cp);
            break;
        }
        i -= d.length;
    }
    if (!cased_before) return false;
    for (std::size_t i = end; i < text.size();) {
        const Utf8Char d = decode_utf8(text, i);
        if (!is_case_ignorable(d.cp)) return !is_cased(d.cp);
        i += d.length;
    }
    return true;
}

}  // namespace

std::string to_lower_unicode(std::string_view utf8)
{
    std::string out;
    out.reserve(utf8.size());
    std::size_t i = 0;
    while (i < utf8.size()) {
        const char c = utf8[i];
        if (static_cast<unsigned char>(c) < 0x80) {
            out += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
            ++i;
            continue;
        }
        const Utf8Char d = decode_utf8(utf8, i);
        if (d.cp == kNotUtf8) {
            out += c;
        } else if (d.cp == kCapitalSigma) {
            append_utf8(out, is_final_sigma(utf8, i, i + d.length) ? kFinalSigma : kSmallSigma);
        } else if (const LowerSpecial* special = find_special(d.cp)) {
            for (std::size_t k = 0; k < special->length; ++k) append_utf8(out, special->out[k]);
        } else {
            append_utf8(out, lower_single(d.cp));
        }
        i += d.length;
    }
    return out;
}

}  // namespace vorn
