// The codes of the checker's findings: stable, documented, never renumbered.
#pragma once

#include <span>
#include <string_view>

namespace vorn {

// What a finding says about the file: an error means the reader cannot read
// it; a warning, that it reads but loses or finds odd something unremarked.
enum class Severity { Error, Warning };

// One row per code. A code keeps its meaning for good: a new kind of finding
// gets a new code, a retired one is never given again.
enum class Code {
    NotThisKind,        // VC001
    CannotRead,         // VC002
    HeaderCut,          // VC010
    LayoutUnsupported,  // VC011
    HeaderCode,         // VC012
    HeaderText,         // VC013
    DimensionTooLarge,  // VC014
    ParametersCut,      // VC020
    ParameterCode,      // VC021
    ParameterText,      // VC022
    FilterMalformed,    // VC023
    SamplesCut,         // VC030
    SampleType,         // VC031
    SectionCount,       // VC032
    EmptyRowsTooMany,   // VC033
    Unplaced,           // VC099
    PointsDropped,      // VC101
    SectionsDropped,    // VC102
    SpacesRemoved,      // VC103
    EmptySection,       // VC104
    InvalidDate,        // VC105
    NonFinite,          // VC106
    TrailingBytes,      // VC107
    DuplicateName,      // VC108
    FilterAbsent,       // VC109
    FilterNotFinite,    // VC110
    AxisContradicts,    // VC111
};

struct CodeInfo {
    Code code;
    std::string_view id;  // "VC103"
    Severity severity;
    std::string_view title;  // one line, what the code means
};

const CodeInfo& code_info(Code code) noexcept;

// Every code, in the order of their identifiers.
std::span<const CodeInfo> all_codes() noexcept;

std::string_view severity_name(Severity severity) noexcept;

}  // namespace vorn
