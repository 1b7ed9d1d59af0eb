// The interrupt checks a blocking open or read consults when a signal
// interrupts it: they run the interpreter's signal handlers, and end the read
// when one of them raised (KeyboardInterrupt, say), leaving that exception set.
#pragma once

#include <chrono>

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

// Between the windows of a long decode with the lock let go of (a
// ByteSource's window check): the lock is taken back for the check at most
// every kWindowCheckInterval per thread, so a decode beside busy Python
// threads seldom waits for it, and a signal is still answered well within a
// fifth of a second.
inline constexpr std::chrono::milliseconds kWindowCheckInterval{50};

inline bool python_signal_raised_between_windows() noexcept
{
    thread_local std::chrono::steady_clock::time_point next_check{};
    const auto now = std::chrono::steady_clock::now();
    if (now < next_check) return false;
    next_check = now + kWindowCheckInterval;
    return python_signal_raised_unlocked();
}

}  // namespace vorn::py
