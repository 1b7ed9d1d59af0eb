// The table of finding codes.
#include "audit_codes.h"

#include <array>

namespace vorn {

namespace {

constexpr std::array kCodes = {
    CodeInfo{Code::NotThisKind, "VC001", Severity::Error,
             "not a data file of this kind: its identifying header fields do not decode"},
    CodeInfo{Code::CannotRead, "VC002", Severity::Error, "the file cannot be opened or read"},
    CodeInfo{Code::HeaderCut, "VC010", Severity::Error, "the file ends inside the header block"},
    CodeInfo{Code::LayoutUnsupported, "VC011", Severity::Error, "a data layout other than One_D and Two_D"},
    CodeInfo{Code::HeaderCode, "VC012", Severity::Error, "a header field holds a code that has no name"},
    CodeInfo{Code::HeaderText, "VC013", Severity::Error, "a header text field is not valid UTF-8"},
    CodeInfo{Code::DimensionTooLarge, "VC014", Severity::Error, "the header's dimension number is above 8"},
    CodeInfo{Code::ParametersCut, "VC020", Severity::Error,
             "the file ends inside the parameter block (or before it begins)"},
    CodeInfo{Code::ParameterCode, "VC021", Severity::Error, "a parameter holds a code that has no name"},
    CodeInfo{Code::ParameterText, "VC022", Severity::Error, "a parameter's name or text value is not valid UTF-8"},
    CodeInfo{Code::FilterMalformed, "VC023", Severity::Error,
             "the digital-filter parameters \"orders\" or \"factors\" are malformed"},
    CodeInfo{Code::SamplesCut, "VC030", Severity::Error, "the file is shorter than the samples its header declares"},
    CodeInfo{Code::SampleType, "VC031", Severity::Error, "a sample type other than 32Bit Float and 64Bit Float"},
    CodeInfo{Code::SectionCount, "VC032", Severity::Error, "the axis kinds give a section count other than 2 or 4"},
    CodeInfo{Code::EmptyRowsTooMany, "VC033", Severity::Error,
             "Two_D sections of empty rows too many for the file's size"},
    CodeInfo{Code::Unplaced, "VC099", Severity::Error, "the reader failed in a way the checker cannot place"},
    CodeInfo{Code::PointsDropped, "VC101", Severity::Warning, "Two_D points beyond whole 32 x 32 blocks are not read"},
    CodeInfo{Code::SectionsDropped, "VC102", Severity::Warning,
             "a One_D file with more than two sections: the others are dropped"},
    CodeInfo{Code::SpacesRemoved, "VC103", Severity::Warning, "a text loses its spaces as it is read"},
    CodeInfo{Code::EmptySection, "VC104", Severity::Warning, "the sections hold no samples"},
    CodeInfo{Code::InvalidDate, "VC105", Severity::Warning, "a stored date is not a date of the calendar"},
    CodeInfo{Code::NonFinite, "VC106", Severity::Warning, "samples that are NaN or infinite"},
    CodeInfo{Code::TrailingBytes, "VC107", Severity::Warning, "bytes after everything the reader reads"},
    CodeInfo{Code::DuplicateName, "VC108", Severity::Warning, "two parameters share a name: only the first is used"},
    CodeInfo{Code::FilterAbsent, "VC109", Severity::Warning,
             "a digital filter is described but its figure cannot be computed"},
    CodeInfo{Code::FilterNotFinite, "VC110", Severity::Warning, "the digital-filter figure is not finite"},
    CodeInfo{Code::AxisContradicts, "VC111", Severity::Warning,
             "an axis range contradicts the spectral width or the offset"},
};

// The table is indexed by the enum.
constexpr bool in_enum_order()
{
    for (std::size_t i = 0; i < kCodes.size(); ++i) {
        if (static_cast<std::size_t>(kCodes[i].code) != i) return false;
    }
    return true;
}
static_assert(in_enum_order(), "kCodes must list the codes in the order of enum Code");

}  // namespace

const CodeInfo& code_info(Code code) noexcept { return kCodes[static_cast<std::size_t>(code)]; }

std::span<const CodeInfo> all_codes() noexcept { return kCodes; }

std::string_view severity_name(Severity severity) noexcept { return severity == Severity::Error ? "error" : "warning"; }

}  // namespace vorn
