// Provisional: ASCII-only lower-casing until the generated Unicode table lands.
#include <string>
#include <string_view>

#include "text.h"

namespace vorn {

std::string to_lower_unicode(std::string_view utf8)
{
    std::string out(utf8);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

}  // namespace vorn
