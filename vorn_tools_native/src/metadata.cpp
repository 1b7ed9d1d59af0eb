// The Metadata type: records kept in C++, dicts made on demand.
#include "metadata.h"

#include <cmath>
#include <memory>
#include <variant>
#include <vector>

#include "failures.h"
#include "py_builder.h"
#include "translate.h"

namespace vorn::py {

namespace {

struct MetadataObject {
    PyObject_HEAD FileRecords* records;  // owned; deleted with the object
};

void metadata_dealloc(PyObject* self)
{
    delete reinterpret_cast<MetadataObject*>(self)->records;
    // Instances of a heap type hold a reference to it, given up after the
    // instance's memory.
    PyTypeObject* type = Py_TYPE(self);
    PyRef type_reference = PyRef::steal(reinterpret_cast<PyObject*>(type));
    type->tp_free(self);
}

const FileRecords& records_of(PyObject* self) { return *reinterpret_cast<MetadataObject*>(self)->records; }

// Each accessor builds new objects (the caller keeps them): the same as the
// entries of vorn_parser.parse, with shared key objects.
template <class F>
PyObject* build(F&& make) noexcept
{
    return translated<NativeFailures>([&] { return make().release(); });
}

PyObject* metadata_headers(PyObject* self, PyObject*)
{
    return build([&] { return to_py_shared_keys(records_of(self).blocks.headers); });
}

PyObject* metadata_parameters(PyObject* self, PyObject*)
{
    return build([&] { return to_py_shared_keys(records_of(self).blocks.parameters); });
}

PyObject* metadata_info(PyObject* self, PyObject*)
{
    return build([&] { return to_py_shared_keys(records_of(self).info); });
}

// A parameter value as exact text: strings as they are, integers in decimal,
// floats as repr() writes them (shortest round trip), complex numbers as
// "<real><sign><|imag|>i" with the sign taken from the imaginary part's sign bit.
struct ValueText {
    static std::string real_text(double v)
    {
        std::unique_ptr<char, decltype(&PyMem_Free)> text(PyOS_double_to_string(v, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr),
                                                          &PyMem_Free);
        if (!text) throw PythonErrorSet{};
        return std::string(text.get());
    }
    static PyRef ascii(const std::string& text)
    {
        return made(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    }

    PyRef operator()(const std::string& v) const { return to_py(v); }
    PyRef operator()(std::int32_t v) const { return made(PyUnicode_FromFormat("%d", static_cast<int>(v))); }
    PyRef operator()(double v) const { return ascii(real_text(v)); }
    PyRef operator()(const ComplexNumber& v) const
    {
        return ascii(real_text(v.real) + (std::signbit(v.imag) ? "-" : "+") + real_text(std::fabs(v.imag)) + "i");
    }
};

// A numeric (integer or float) parameter value as a float, else None.
struct ValueFloat {
    PyRef operator()(std::int32_t v) const { return made(PyFloat_FromDouble(static_cast<double>(v))); }
    PyRef operator()(double v) const { return made(PyFloat_FromDouble(v)); }
    template <class T>
    PyRef operator()(const T&) const
    {
        return PyRef::borrow(Py_None);
    }
};

// The parameters as columns, for tables of many files: names, value kinds,
// values as exact text, numeric values as floats (None otherwise), and for each
// parameter the index of its first unit in a list of the distinct first units
// as (prefix, power, base) tuples (-1: no unit). No dict per parameter.
PyObject* metadata_parameter_columns(PyObject* self, PyObject*)
{
    return build([&] {
        const auto& params = records_of(self).blocks.parameters.param_array;
        PyRef names = new_list(params.size());
        PyRef kinds = new_list(params.size());
        PyRef texts = new_list(params.size());
        PyRef floats = new_list(params.size());
        PyRef unit_index = new_list(params.size());
        std::vector<const Unit*> distinct;
        PyRef units = new_list(0);
        for (std::size_t i = 0; i < params.size(); ++i) {
            const Param& p = params[i];
            const auto at = static_cast<Py_ssize_t>(i);
            PyList_SET_ITEM(names.get(), at, to_py(p.name).release());
            PyList_SET_ITEM(kinds.get(), at, to_py(p.value_type).release());
            PyList_SET_ITEM(texts.get(), at, std::visit(ValueText{}, p.value).release());
            PyList_SET_ITEM(floats.get(), at, std::visit(ValueFloat{}, p.value).release());
            long index = -1;
            if (!p.unit.empty()) {
                const Unit& u = p.unit.front();
                std::size_t k = 0;
                while (k < distinct.size() && !(*distinct[k] == u)) ++k;
                if (k == distinct.size()) {
                    PyRef prefix = to_py(u.prefix);
                    PyRef power = to_py(u.power);
                    PyRef base = to_py(u.base);
                    PyRef unit = made(PyTuple_Pack(3, prefix.get(), power.get(), base.get()));
                    if (PyList_Append(units.get(), unit.get()) < 0) throw PythonErrorSet{};
                    distinct.push_back(&u);
                }
                index = static_cast<long>(k);
            }
            PyList_SET_ITEM(unit_index.get(), at, made(PyLong_FromLong(index)).release());
        }
        return made(
            PyTuple_Pack(6, names.get(), kinds.get(), texts.get(), floats.get(), unit_index.get(), units.get()));
    });
}

PyRef u32_list(const std::vector<std::uint32_t>& values) { return to_py_shared_keys(values); }

PyRef u64_tuple(const std::vector<std::uint64_t>& values)
{
    PyRef tuple = made(PyTuple_New(static_cast<Py_ssize_t>(values.size())));
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i),
                         made(PyLong_FromUnsignedLongLong(values[i])).release());
    }
    return tuple;
}

PyRef optional_u64(const std::optional<std::uint64_t>& value)
{
    return value ? made(PyLong_FromUnsignedLongLong(*value)) : PyRef::borrow(Py_None);
}

void put(PyObject* dict, const char* key, PyRef value)
{
    if (PyDict_SetItemString(dict, key, value.get()) < 0) throw PythonErrorSet{};
}

// The layout facts of the header (see layout.h) as a dict.
PyObject* metadata_layout(PyObject* self, PyObject*)
{
    return build([&] {
        const FileRecords& r = records_of(self);
        const Layout& l = r.layout;
        PyRef dict = made(PyDict_New());
        put(dict.get(), "format", to_py(r.blocks.headers.data_format));
        put(dict.get(), "section_count", to_py(l.section_count));
        put(dict.get(), "sections", to_py_shared_keys(l.sections));
        put(dict.get(), "header_points", u32_list(l.header_points));
        put(dict.get(), "kept_points", u32_list(l.kept_points));
        put(dict.get(), "axis_kinds", to_py_shared_keys(l.axis_kinds));
        put(dict.get(), "shape", u64_tuple(l.shape));
        put(dict.get(), "sample_bytes",
            l.sample_bytes ? optional_u64(std::uint64_t{*l.sample_bytes}) : PyRef::borrow(Py_None));
        put(dict.get(), "data_end", optional_u64(l.data_end));
        put(dict.get(), "cut_short", to_py(r.cut_short));
        return dict;
    });
}

PyMethodDef metadata_methods[] = {
    {"layout", metadata_layout, METH_NOARGS,
     "The layout facts of the header: format, section_count, sections (kept, in stored order), header_points,\n"
     "kept_points, axis_kinds, shape, sample_bytes, data_end, and cut_short (the file ends before them)."},
    {"parameter_columns", metadata_parameter_columns, METH_NOARGS,
     "The parameters as (names, kinds, value texts, numeric values as floats or None, first-unit indices "
     "(-1: none), distinct first units as (prefix, power, base))."},
    {"headers", metadata_headers, METH_NOARGS, "The header block as a dict, as vorn_parser.parse gives it."},
    {"parameters", metadata_parameters, METH_NOARGS, "The parameter block as a dict."},
    {"info", metadata_info, METH_NOARGS, "The summary of the experiment as a dict."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot metadata_slots[] = {
    {Py_tp_doc, const_cast<char*>("The header, parameter and summary records of one file.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(metadata_dealloc)},
    {Py_tp_methods, metadata_methods},
    {0, nullptr},
};

PyType_Spec metadata_spec = {
    "vorn_tools._native.Metadata",
    static_cast<int>(sizeof(MetadataObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    metadata_slots,
};

PyTypeObject* metadata_type_object = nullptr;

}  // namespace

bool metadata_type_ready()
{
    if (metadata_type_object == nullptr) {
        metadata_type_object = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&metadata_spec));
    }
    return metadata_type_object != nullptr;
}

PyTypeObject* metadata_type() { return metadata_type_object; }

const FileRecords* records_of_metadata(PyObject* object)
{
    if (Py_TYPE(object) != metadata_type_object) {
        PyErr_SetString(PyExc_TypeError, "a Metadata object was expected");
        return nullptr;
    }
    return reinterpret_cast<MetadataObject*>(object)->records;
}

PyRef new_metadata(FileRecords records)
{
    // The records are moved into their own allocation first, so a failure to
    // make the object frees them.
    auto owned = std::make_unique<FileRecords>(std::move(records));
    PyRef object = made(PyType_GenericAlloc(metadata_type_object, 0));
    reinterpret_cast<MetadataObject*>(object.get())->records = owned.release();
    return object;
}

}  // namespace vorn::py
