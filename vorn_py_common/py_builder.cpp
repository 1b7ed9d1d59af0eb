// Scalar conversions and the list and dict primitives of the builder.
#include "py_builder.h"

#include <string>
#include <unordered_map>

namespace vorn::py {

PyRef new_list(std::size_t n) { return made(PyList_New(static_cast<Py_ssize_t>(n))); }

void FreshKeys::insert(PyObject* dict, std::string_view key, PyObject* value)
{
    PyRef k = made(PyUnicode_FromStringAndSize(key.data(), static_cast<Py_ssize_t>(key.size())));
    if (PyObject_SetItem(dict, k.get(), value) < 0) throw PythonErrorSet{};
}

namespace {

struct KeyHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view key) const noexcept { return std::hash<std::string_view>{}(key); }
};

// The key object of one field name (borrowed; it lives for the process).
PyObject* shared_key(std::string_view key)
{
    // Filled with the interpreter lock held; the keys are never released.
    static std::unordered_map<std::string, PyObject*, KeyHash, std::equal_to<>> keys;
    if (auto found = keys.find(key); found != keys.end()) return found->second;
    PyObject* text = made(PyUnicode_FromStringAndSize(key.data(), static_cast<Py_ssize_t>(key.size()))).release();
    PyUnicode_InternInPlace(&text);
    PyRef owned = PyRef::steal(text);
    keys.emplace(std::string(key), owned.get());
    return owned.release();  // now the cache's
}

}  // namespace

void SharedKeys::insert(PyObject* dict, std::string_view key, PyObject* value)
{
    if (PyDict_SetItem(dict, shared_key(key), value) < 0) throw PythonErrorSet{};
}

PyRef to_py(double v) { return made(PyFloat_FromDouble(v)); }
PyRef to_py(bool v) { return PyRef::borrow(v ? Py_True : Py_False); }
PyRef to_py(std::uint8_t v) { return made(PyLong_FromLong(v)); }
PyRef to_py(std::int16_t v) { return made(PyLong_FromLong(v)); }
PyRef to_py(std::uint16_t v) { return made(PyLong_FromLong(v)); }
PyRef to_py(std::int32_t v) { return made(PyLong_FromLong(v)); }
PyRef to_py(std::uint32_t v) { return made(PyLong_FromUnsignedLongLong(v)); }

PyRef to_py(const std::string& v)
{
    return made(PyUnicode_FromStringAndSize(v.data(), static_cast<Py_ssize_t>(v.size())));
}

PyRef to_py(std::string_view v)
{
    return made(PyUnicode_FromStringAndSize(v.data(), static_cast<Py_ssize_t>(v.size())));
}

PyRef to_py(const std::optional<double>& v)
{
    if (!v) return PyRef::borrow(Py_None);
    return to_py(*v);
}

PyRef to_py(const std::optional<std::uint64_t>& v)
{
    if (!v) return PyRef::borrow(Py_None);
    return made(PyLong_FromUnsignedLongLong(*v));
}

// The hot path: one float per sample, written straight into its slot.
PyRef to_py(const std::vector<double>& v)
{
    PyRef list = new_list(v.size());
    PyObject* raw = list.get();
    for (std::size_t i = 0; i < v.size(); ++i) {
        PyList_SET_ITEM(raw, static_cast<Py_ssize_t>(i), made(PyFloat_FromDouble(v[i])).release());
    }
    return list;
}

PyRef to_py(const std::vector<bool>& v)
{
    PyRef list = new_list(v.size());
    for (std::size_t i = 0; i < v.size(); ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), to_py(static_cast<bool>(v[i])).release());
    }
    return list;
}

}  // namespace vorn::py
