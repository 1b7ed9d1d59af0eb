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

// Inserts one field into a record's dict: a fresh key, then the insertion. A
// failed insertion leaves its exception set.
void insert_field(PyObject* dict, std::string_view key, PyObject* value);

// Fills one dict, a field at a time, in the record's order: each value is
// converted with Conversion, then inserted under a fresh key.
template <class Conversion>
class BasicDictFiller {
public:
    explicit BasicDictFiller(PyObject* dict) noexcept : dict_(dict) {}

    template <class T>
    void field(std::string_view key, const T& value)
    {
        PyRef v = Conversion{}(value);
        insert_field(dict_, key, v.get());
    }

private:
    PyObject* dict_;  // borrowed
};

// The plain conversion: to_py.
struct Convert {
    template <class T>
    PyRef operator()(const T& value) const
    {
        return to_py(value);
    }
};
using DictFiller = BasicDictFiller<Convert>;

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

// The conversion of a record the builder owns. It gives the same objects as
// to_py but frees each vector of doubles (a row of samples) as soon as its
// list is made, so that a large data section is not held twice, as doubles
// and as floats, and the memory of a freed row is at hand for the next
// list. The record's fields are presented as const by serialize(); each
// freed vector is part of the record handed over here, which is not const.
struct ConvertReleasing {
    PyRef operator()(const std::vector<double>& row) const
    {
        PyRef list = to_py(row);
        std::vector<double>().swap(const_cast<std::vector<double>&>(row));
        return list;
    }
    // Vectors of rows, records or unions, whose items may hold rows.
    template <class T>
        requires(!std::is_arithmetic_v<T>)
    PyRef operator()(const std::vector<T>& v) const
    {
        PyRef list = new_list(v.size());
        for (std::size_t i = 0; i < v.size(); ++i) {
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), (*this)(v[i]).release());
        }
        return list;
    }
    template <class... Ts>
    PyRef operator()(const std::variant<Ts...>& v) const
    {
        return std::visit([this](const auto& alt) { return (*this)(alt); }, v);
    }
    template <Record T>
    PyRef operator()(const T& record) const
    {
        PyRef dict = made(PyDict_New());
        BasicDictFiller<ConvertReleasing> filler(dict.get());
        record.serialize(filler);
        return dict;
    }
    template <class T>
    PyRef operator()(const T& value) const
    {
        return to_py(value);
    }
};

// The key object of one field name, made once and shared by every dict made
// with SharedKeys (borrowed; it lives for the process).
PyObject* shared_key(std::string_view key);

// The conversion for readers of many files (vorn_tools): the same objects as
// to_py, but each dict key is one shared object per field name instead of a
// new one per insertion, which for small records costs more than the values.
struct ConvertSharedKeys {
    template <class T>
        requires(!std::is_arithmetic_v<T>)
    PyRef operator()(const std::vector<T>& v) const
    {
        PyRef list = new_list(v.size());
        for (std::size_t i = 0; i < v.size(); ++i) {
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), (*this)(v[i]).release());
        }
        return list;
    }
    template <class... Ts>
    PyRef operator()(const std::variant<Ts...>& v) const
    {
        return std::visit([this](const auto& alt) { return (*this)(alt); }, v);
    }
    template <Record T>
    PyRef operator()(const T& record) const
    {
        PyRef dict = made(PyDict_New());
        Filler filler{dict.get()};
        record.serialize(filler);
        return dict;
    }
    template <class T>
    PyRef operator()(const T& value) const
    {
        return to_py(value);
    }

    struct Filler {
        PyObject* dict;  // borrowed
        template <class T>
        void field(std::string_view key, const T& value)
        {
            PyRef v = ConvertSharedKeys{}(value);
            if (PyDict_SetItem(dict, shared_key(key), v.get()) < 0) throw PythonErrorSet{};
        }
    };
};

// Converts a record that is given up: the result of to_py, with the record
// left behind with its vectors of doubles emptied.
template <Record T>
    requires(!std::is_lvalue_reference_v<T>)
PyRef to_py_releasing(T&& record)
{
    return ConvertReleasing{}(record);
}

}  // namespace vorn::py
