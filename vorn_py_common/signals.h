// The interrupt checks a blocking open or read consults when a signal
// interrupts it: they run the interpreter's signal handlers, and end the read
// when one of them raised (KeyboardInterrupt, say), leaving that exception set.
#pragma once

#include "py_ref.h"

namespace vorn::py {

// For a read that holds the interpreter lock throughout.
inline bool python_signal_raised() noexcept { return PyErr_CheckSignals() < 0; }

// For a read that let go of the interpreter lock: takes it back for the check.
inline bool python_signal_raised_unlocked() noexcept
{
    const PyGILState_STATE state = PyGILState_Ensure();
    const bool raised = PyErr_CheckSignals() < 0;
    PyGILState_Release(state);
    return raised;
}

}  // namespace vorn::py
