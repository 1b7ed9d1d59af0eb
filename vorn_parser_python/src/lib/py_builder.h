// Records to Python objects: the consumer of the records' serialize().
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "py_ref.h"

namespace vorn::py {

// Anything whose serialize() presents its fields is a record.
struct FieldProbe {
    template <class T>
    void field(std::string_view, const T&);
};
template <class T>
concept Record = requires(const T& r, FieldProbe& probe) { r.serialize(probe); };

PyRef to_py(double v);
PyRef to_py(bool v);
PyRef to_py(std::uint8_t v);
PyRef to_py(std::int16_t v);
PyRef to_py(std::uint16_t v);
PyRef to_py(std::int32_t v);
PyRef to_py(std::uint32_t v);
PyRef to_py(const std::string& v);
PyRef to_py(const std::optional<double>& v);
PyRef to_py(const std::vector<double>& v);
PyRef to_py(const std::vector<bool>& v);

template <class T>
PyRef to_py(const std::vector<T>& v);
template <class... Ts>
PyRef to_py(const std::variant<Ts...>& v);
template <Record T>
PyRef to_py(const T& record);

// Fills one dict, a field at a time, in the record's order: value, then a
// fresh key, then the insertion. A failed insertion leaves its exception set.
class DictFiller {
public:
    explicit DictFiller(PyObject* dict) noexcept : dict_(dict) {}

    template <class T>
    void field(std::string_view key, const T& value)
    {
        PyRef v = to_py(value);
        insert(key, v.get());
    }

private:
    void insert(std::string_view key, PyObject* value);
    PyObject* dict_;  // borrowed
};

PyRef new_list(std::size_t n);

template <class T>
PyRef to_py(const std::vector<T>& v)
{
    PyRef list = new_list(v.size());
    for (std::size_t i = 0; i < v.size(); ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), to_py(v[i]).release());
    }
    return list;
}

// Untagged: the active alternative as if it stood alone.
template <class... Ts>
PyRef to_py(const std::variant<Ts...>& v)
{
    return std::visit([](const auto& alt) { return to_py(alt); }, v);
}

template <Record T>
PyRef to_py(const T& record)
{
    PyRef dict = made(PyDict_New());
    DictFiller filler(dict.get());
    record.serialize(filler);
    return dict;
}

}  // namespace vorn::py
