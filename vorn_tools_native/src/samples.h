// Samples: a Python object owning an array of doubles and exporting it
// through the buffer protocol (format 'd', shape and strides), so that
// numpy.asarray and memoryview wrap it without a copy.
#pragma once

#include <cstddef>
#include <memory>

#include "py_ref.h"

namespace vorn::py {

// Frees what DoubleBlock::make allocated.
struct FreeDoubles {
    void operator()(double* p) const noexcept;
};

// A block of doubles for decoding into, not yet set (no first touch before
// the decode writes it).
struct DoubleBlock {
    std::unique_ptr<double[], FreeDoubles> data;
    std::size_t rows = 0;
    std::size_t columns = 0;
    std::size_t parts = 1;  // 2: each sample a (real, imaginary) pair

    static DoubleBlock make(std::size_t rows, std::size_t columns, std::size_t parts);
    std::size_t size() const noexcept { return rows * columns * parts; }
};

// Makes the Samples type ready; once per process, with the module.
bool samples_type_ready();
PyTypeObject* samples_type();

// A Samples object taking over `block`, shaped (rows, columns, parts), or
// (columns, parts) when `one_row` (a One_D section).
PyRef new_samples(DoubleBlock block, bool one_row);

}  // namespace vorn::py
