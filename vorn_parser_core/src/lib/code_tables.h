// The ten code tables that turn stored codes into names, and the codes the
// readers act on.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "source_loc.h"

namespace vorn {

// Names for a contiguous range of codes, indexed directly. Built at compile
// time from string literals, which live for the whole process.
class CodeTable {
public:
    static constexpr std::size_t kMaxRows = 48;

    constexpr CodeTable(std::string_view table_name, int first_code, std::initializer_list<std::string_view> names)
        : table_name_(table_name), first_code_(first_code), size_(names.size())
    {
        // Not a constant expression, so a table with more rows does not compile.
        if (names.size() > kMaxRows) throw "CodeTable: raise kMaxRows";
        std::size_t i = 0;
        for (std::string_view name : names) names_[i++] = name;
    }

    constexpr bool has(int code) const noexcept
    {
        const long index = static_cast<long>(code) - first_code_;
        return index >= 0 && index < static_cast<long>(size_);
    }

    constexpr std::optional<std::string_view> lookup(int code) const noexcept
    {
        if (!has(code)) return std::nullopt;
        return names_[static_cast<std::size_t>(code - first_code_)];
    }

    // The first code whose row has this name.
    constexpr std::optional<int> code_of(std::string_view name) const noexcept
    {
        for (std::size_t i = 0; i < size_; ++i) {
            if (names_[i] == name) return first_code_ + static_cast<int>(i);
        }
        return std::nullopt;
    }

    // Whether every one of `codes` (enum values) has a row.
    template <class... Code>
    constexpr bool has_rows(Code... codes) const noexcept
    {
        return (has(static_cast<int>(codes)) && ...);
    }

    constexpr std::string_view table_name() const noexcept { return table_name_; }
    constexpr int first_code() const noexcept { return first_code_; }
    constexpr std::size_t size() const noexcept { return size_; }

private:
    std::string_view table_name_;
    int first_code_;
    std::size_t size_;
    std::array<std::string_view, kMaxRows> names_{};
};

// Prefix name to its power of ten.
class PrefixPowerTable {
public:
    std::optional<std::int8_t> lookup(std::string_view name) const noexcept;
};

struct PrefixPower {
    std::string_view name;
    std::int8_t power;
};

// Every unit prefix with its power of ten, in code order: for callers that
// scale values by a unit's prefix, so that they keep no copy of the table.
std::vector<PrefixPower> prefix_powers();

// Each accessor returns its table, made at compile time.
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
// The same name as a view into the table, which lives as long as the program.
std::string_view table_name_or_fail(const CodeTable& table, int code, SourceLoc where = SourceLoc::current());

// The codes the readers act on, one enum per table, each value the code of a
// row (checked at compile time beside the table). Records keep the names;
// readers compare them with is(), never with a spelled-out name.
enum class Endianness { Big = 0, Little = 1 };
enum class DataType { Float64 = 0, Float32 = 1 };
enum class DataFormat { OneD = 1, TwoD = 2 };
enum class AxisType { Complex = 3, RealComplex = 4 };
enum class ValueType { String = 0, Integer = 1, Float = 2, Complex = 3, Infinity = 4 };

inline const CodeTable& table_of(Endianness) { return ENDIANNESS(); }
inline const CodeTable& table_of(DataType) { return DATA_TYPE(); }
inline const CodeTable& table_of(DataFormat) { return DATA_FORMAT(); }
inline const CodeTable& table_of(AxisType) { return DATA_AXIS_TYPE(); }
inline const CodeTable& table_of(ValueType) { return VALUE_TYPE(); }

// The name of the row of `code`.
template <class Code>
std::string_view name_of(Code code) noexcept
{
    // Every code has a row (checked at compile time beside each table).
    const auto name = table_of(code).lookup(static_cast<int>(code));
    return name ? *name : std::string_view{};
}

// Whether `name` (a name a table gave) is that of the row of `code`.
template <class Code>
bool is(std::string_view name, Code code) noexcept
{
    return name == name_of(code);
}

}  // namespace vorn
