// Records to Python objects: the one consumer of the records' serialize().
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

// Anything whose serialize() presents its fields is a record. A record whose
// serialize() is also non-const hands out its fields writable.
struct FieldProbe {
    template <class T>
    void field(std::string_view, T&);
};
template <class T>
concept Record = requires(T& r, FieldProbe& probe) { r.serialize(probe); };

template <class T>
inline constexpr bool is_vector = false;
template <class T, class A>
inline constexpr bool is_vector<std::vector<T, A>> = true;
template <class T>
inline constexpr bool is_variant = false;
template <class... Ts>
inline constexpr bool is_variant<std::variant<Ts...>> = true;

PyRef to_py(double v);
PyRef to_py(bool v);
PyRef to_py(std::uint8_t v);
PyRef to_py(std::int16_t v);
PyRef to_py(std::uint16_t v);
PyRef to_py(std::int32_t v);
PyRef to_py(std::uint32_t v);
PyRef to_py(const std::string& v);
PyRef to_py(std::string_view v);
PyRef to_py(const std::optional<double>& v);
PyRef to_py(const std::optional<std::uint64_t>& v);
PyRef to_py(const std::vector<double>& v);
PyRef to_py(const std::vector<bool>& v);

PyRef new_list(std::size_t n);

// The keys of parse()'s dicts: a new str per insertion. A failed insertion
// leaves its exception set.
struct FreshKeys {
    static void insert(PyObject* dict, std::string_view key, PyObject* value);
};

// The keys for readers of many files (vorn_tools): one interned str per field
// name, made on first use and kept for the process, since for small records a
// new key per insertion costs more than the values.
struct SharedKeys {
    static void insert(PyObject* dict, std::string_view key, PyObject* value);
};

// Converts a value (a scalar, a string, a vector, an untagged union or a
// record, whose fields are converted in their order into a dict) into new
// Python objects. Keys makes each dict key. With FreeRows, each vector of
// doubles (a row of samples) reached as writable is freed as soon as its list
// is made, so that a large data section is not held twice, as doubles and as
// floats, and the memory of a freed row is at hand for the next list.
template <class Keys, bool FreeRows>
class Builder {
public:
    template <class T>
    static PyRef convert(T& value)
    {
        using V = std::remove_const_t<T>;
        if constexpr (std::is_same_v<V, std::vector<double>>) {
            PyRef list = to_py(value);
            if constexpr (FreeRows && !std::is_const_v<T>) std::vector<double>().swap(value);
            return list;
        } else if constexpr (is_vector<V> && !std::is_same_v<V, std::vector<bool>>) {
            PyRef list = new_list(value.size());
            for (std::size_t i = 0; i < value.size(); ++i) {
                PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), convert(value[i]).release());
            }
            return list;
        } else if constexpr (is_variant<V>) {
            // Untagged: the active alternative as if it stood alone.
            return std::visit([](auto& alt) { return convert(alt); }, value);
        } else if constexpr (Record<T>) {
            PyRef dict = made(PyDict_New());
            DictFiller filler{dict.get()};
            value.serialize(filler);
            return dict;
        } else {
            return to_py(value);
        }
    }

private:
    struct DictFiller {
        PyObject* dict;  // borrowed
        template <class T>
        void field(std::string_view key, T& value)
        {
            PyRef v = convert(value);
            Keys::insert(dict, key, v.get());
        }
    };
};

// parse(): converts a record that is given up, freeing its rows as they are
// converted; what is left of the record is only fit to be destroyed.
template <Record T>
    requires(!std::is_reference_v<T> && !std::is_const_v<T>)
PyRef to_py_releasing(T&& record)
{
    return Builder<FreshKeys, true>::convert(record);
}

// vorn_tools: converts a record (or a field of one) that is kept, with shared
// keys.
template <class T>
PyRef to_py_shared_keys(const T& value)
{
    return Builder<SharedKeys, false>::convert(value);
}

}  // namespace vorn::py
