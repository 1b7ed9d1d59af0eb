// The Samples type: owned doubles behind the buffer protocol.
#include "samples.h"

#include <algorithm>
#include <cstdlib>
#include <new>
#include <sys/mman.h>

namespace vorn::py {

namespace {

struct SamplesObject {
    PyObject_HEAD double* data;  // owned; freed with the object
    int ndim;
    Py_ssize_t shape[3];
    Py_ssize_t strides[3];
};

void samples_dealloc(PyObject* self)
{
    auto* s = reinterpret_cast<SamplesObject*>(self);
    FreeDoubles{}(s->data);
    // Instances of a heap type hold a reference to it, given up after the
    // instance's memory.
    PyTypeObject* type = Py_TYPE(self);
    PyRef type_reference = PyRef::steal(reinterpret_cast<PyObject*>(type));
    type->tp_free(self);
}

// Whether the buffer request `flags` asks for all of `what` (PyBUF_* bits).
bool asks(int flags, int what)
{
    const auto bits = static_cast<unsigned>(what);
    return (static_cast<unsigned>(flags) & bits) == bits;
}

int samples_getbuffer(PyObject* self, Py_buffer* view, int flags)
{
    auto* s = reinterpret_cast<SamplesObject*>(self);
    // The memory is C-contiguous; a consumer that cannot take strides or a
    // shape still gets a flat view of it.
    Py_ssize_t items = 1;
    for (int i = 0; i < s->ndim; ++i) items *= s->shape[i];
    view->obj = Py_NewRef(self);
    view->buf = s->data;
    view->len = items * static_cast<Py_ssize_t>(sizeof(double));
    view->readonly = 0;
    view->itemsize = sizeof(double);
    view->format = asks(flags, PyBUF_FORMAT) ? const_cast<char*>("d") : nullptr;
    view->ndim = asks(flags, PyBUF_ND) ? s->ndim : 1;
    view->shape = asks(flags, PyBUF_ND) ? s->shape : nullptr;
    view->strides = asks(flags, PyBUF_STRIDES) ? s->strides : nullptr;
    view->suboffsets = nullptr;
    view->internal = nullptr;
    return 0;
}

PyType_Slot samples_slots[] = {
    {Py_tp_doc, const_cast<char*>("Decoded samples of one file, as doubles behind the buffer protocol.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(samples_dealloc)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(samples_getbuffer)},
    {0, nullptr},
};

PyType_Spec samples_spec = {
    "vorn_tools._native.Samples",
    static_cast<int>(sizeof(SamplesObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    samples_slots,
};

// Made once with the module and kept for the life of the process.
PyTypeObject* samples_type_object = nullptr;

}  // namespace

DoubleBlock DoubleBlock::make(std::size_t rows, std::size_t columns, std::size_t parts)
{
    DoubleBlock block;
    block.rows = rows;
    block.columns = columns;
    block.parts = parts;
    // Not initialised: the decode writes every double before it is read. A
    // large block is aligned to, and asks for, transparent huge pages, as
    // numpy does for its large arrays: first touching it then costs one page
    // fault per 2 MiB instead of one per 4 KiB.
    constexpr std::size_t kHugePage = std::size_t{2} << 20;
    const std::size_t bytes = std::max<std::size_t>(block.size(), 1) * sizeof(double);
    const std::size_t align = bytes >= 2 * kHugePage ? kHugePage : alignof(std::max_align_t);
    const std::size_t rounded = (bytes + align - 1) / align * align;
    void* memory = std::aligned_alloc(align, rounded);
    if (memory == nullptr) throw std::bad_alloc();
    if (align == kHugePage) ::madvise(memory, rounded, MADV_HUGEPAGE);  // advice only; failure is harmless
    block.data.reset(static_cast<double*>(memory));
    return block;
}

void FreeDoubles::operator()(double* p) const noexcept { std::free(p); }

bool samples_type_ready()
{
    if (samples_type_object == nullptr) {
        samples_type_object = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&samples_spec));
    }
    return samples_type_object != nullptr;
}

PyTypeObject* samples_type() { return samples_type_object; }

PyRef new_samples(DoubleBlock block, bool one_row)
{
    PyRef object = made(PyType_GenericAlloc(samples_type_object, 0));
    auto* s = reinterpret_cast<SamplesObject*>(object.get());
    s->data = block.data.release();
    const auto d = static_cast<Py_ssize_t>(sizeof(double));
    const auto rows = static_cast<Py_ssize_t>(block.rows);
    const auto columns = static_cast<Py_ssize_t>(block.columns);
    const auto parts = static_cast<Py_ssize_t>(block.parts);
    if (one_row) {
        s->ndim = 2;
        s->shape[0] = columns;
        s->shape[1] = parts;
        s->strides[0] = parts * d;
        s->strides[1] = d;
    } else {
        s->ndim = 3;
        s->shape[0] = rows;
        s->shape[1] = columns;
        s->shape[2] = parts;
        s->strides[0] = columns * parts * d;
        s->strides[1] = parts * d;
        s->strides[2] = d;
    }
    return object;
}

}  // namespace vorn::py
