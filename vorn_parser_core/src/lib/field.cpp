// The failure path of a field or record read: rewind, then frame.
#include "field.h"

namespace vorn {

ReadError ReadStart::rewound(ReadError failed) const
{
    auto back = src_.seek(start_);
    ReadError error = back ? std::move(failed) : std::move(back).error();
    if (!framed_) return error;
    return with_context(std::move(error), ContextFrame::for_field(field_, record_, where_));
}

}  // namespace vorn
