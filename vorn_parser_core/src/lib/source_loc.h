// Source location of the reading code, captured at the call site.
#pragma once

namespace vorn {

// A minimal std::source_location: clang 14 with libstdc++ 12 has no usable
// <source_location>, while __builtin_FILE/__builtin_LINE work on every
// compiler we build with. The build maps the source directory away, so files
// read repository-relative.
struct SourceLoc {
    const char* file = "";
    unsigned line = 0;

    static constexpr SourceLoc current(const char* file = __builtin_FILE(), unsigned line = __builtin_LINE()) noexcept
    {
        return SourceLoc{file, line};
    }
};

}  // namespace vorn
