// The ten code tables that turn stored codes into names.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "source_loc.h"

namespace vorn {

// Names for a contiguous range of codes, indexed directly. Names are string
// literals that live for the whole process.
class CodeTable {
public:
    CodeTable(std::string_view table_name, int first_code, std::initializer_list<std::string_view> names)
        : table_name_(table_name), first_code_(first_code), names_(names)
    {
    }

    std::optional<std::string_view> lookup(int code) const noexcept
    {
        const long index = static_cast<long>(code) - first_code_;
        if (index < 0 || index >= static_cast<long>(names_.size())) return std::nullopt;
        return names_[static_cast<std::size_t>(index)];
    }

    std::string_view table_name() const noexcept { return table_name_; }

private:
    std::string_view table_name_;
    int first_code_;
    std::vector<std::string_view> names_;
};

// Prefix name to its power of ten.
class PrefixPowerTable {
public:
    PrefixPowerTable(std::initializer_list<std::pair<const std::string_view, std::int8_t>> rows) : powers_(rows) {}

    std::optional<std::int8_t> lookup(std::string_view name) const
    {
        auto it = powers_.find(name);
        if (it == powers_.end()) return std::nullopt;
        return it->second;
    }

private:
    std::unordered_map<std::string_view, std::int8_t> powers_;
};

// Each accessor builds its table on first use (thread-safe) and keeps it for
// the life of the process.
const CodeTable& ENDIANNESS();
const CodeTable& DATA_TYPE();
const CodeTable& DATA_FORMAT();
const CodeTable& INSTRUMENT_TABLE();
const CodeTable& DATA_AXIS_TYPE();
const CodeTable& DATA_AXIS_RANGED();
const CodeTable& PREFIX();
const CodeTable& BASE();
const CodeTable& VALUE_TYPE();
const PrefixPowerTable& UNIT_PREFIX();

// The name of `code`, copied; a code the table lacks ends the parse as an
// internal failure naming the table and the code.
std::string name_or_fail(const CodeTable& table, int code, SourceLoc where = SourceLoc::current());

}  // namespace vorn
