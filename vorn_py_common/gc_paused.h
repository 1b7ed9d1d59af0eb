// GcPaused: the cyclic garbage collector held off while a large result is
// built. Its young-generation passes would otherwise walk every sample float
// made so far, many times over, though none of them can be in a cycle.
#pragma once

#include "py_ref.h"

namespace vorn::py {

class GcPaused {
public:
    GcPaused() noexcept : was_enabled_(PyGC_Disable() == 1) {}
    GcPaused(const GcPaused&) = delete;
    GcPaused& operator=(const GcPaused&) = delete;
    ~GcPaused()
    {
        if (was_enabled_) PyGC_Enable();
    }

private:
    bool was_enabled_;
};

}  // namespace vorn::py
