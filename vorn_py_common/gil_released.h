// GilReleased: the interpreter lock let go of for a stretch of work that
// touches no Python object (a blocking read, decoding samples), so other
// threads run meanwhile; taken back on every path out, exceptions included.
#pragma once

#include "py_ref.h"

namespace vorn::py {

class GilReleased {
public:
    explicit GilReleased(bool release) noexcept : state_(release ? PyEval_SaveThread() : nullptr) {}
    GilReleased(const GilReleased&) = delete;
    GilReleased& operator=(const GilReleased&) = delete;
    ~GilReleased()
    {
        if (state_ != nullptr) PyEval_RestoreThread(state_);
    }

private:
    PyThreadState* state_;
};

}  // namespace vorn::py
