// Argument binding and input classification, with their exact messages.
#include "arguments.h"

#include <algorithm>
#include <optional>
#include <unordered_set>

#include "interned.h"

namespace vorn::py {

namespace {

[[noreturn]] void type_error(const std::string& message)
{
    PyErr_SetString(PyExc_TypeError, message.c_str());
    throw PythonErrorSet{};
}

// Appends a str to a message as UTF-8; false with the exception set on
// failure. Names and exception texts may hold lone surrogates, which UTF-8
// cannot carry: such a str is encoded with the "backslashreplace" handler, so
// that a lone surrogate reads as its Python escape (\udc80), the message stays
// valid text, and a str without one comes out as it was.
bool append_text(std::string& out, PyObject* text)
{
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size)) {
        out.append(utf8, static_cast<std::size_t>(size));
        return true;
    }
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
    PyErr_Clear();
    PyRef escaped = PyRef::steal(PyUnicode_AsEncodedString(text, "utf-8", "backslashreplace"));
    if (!escaped) return false;
    out.append(PyBytes_AS_STRING(escaped.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(escaped.get())));
    return true;
}

}  // namespace

PyObject* bind_input(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    if (nargs > 1) {
        type_error("parse() takes 1 positional arguments but " + std::to_string(nargs) + " were given");
    }
    PyObject* input = nargs == 1 ? args[0] : nullptr;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, i);
        if (PyUnicode_CompareWithASCIIString(name, "input") != 0) {
            std::string message = "parse() got an unexpected keyword argument '";
            if (!append_text(message, name)) api_call_failed();
            type_error(message + "'");
        }
        if (input != nullptr) type_error("parse() got multiple values for argument 'input'");
        input = args[nargs + i];
    }
    if (input == nullptr) type_error("parse() missing 1 required positional argument: 'input'");
    return input;
}

namespace {

// What a failed alternative leaves: the exception it raised.
using Failure = PyRef;

Failure new_failure(PyObject* type, const std::string& message)
{
    PyRef text = made(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    return made(PyObject_CallOneArg(type, text.get()));
}

// The pending exception, taken out of the interpreter's error indicator.
//
// Only an Exception makes an alternative fail. The rest of BaseException
// (KeyboardInterrupt, SystemExit, GeneratorExit, asyncio's CancelledError, a
// ParseFailure from a parse() that user code made, ...) are kept out of
// `except Exception` so that ordinary failure handling does not stop them;
// turning one into the cause of a TypeError would do just that. They are set
// again and end the call unchanged.
Failure take_pending()
{
    PyRef exc = PyRef::steal(PyErr_GetRaisedException());
    if (!exc) api_call_failed();
    if (!PyErr_GivenExceptionMatches(exc.get(), PyExc_Exception)) {
        PyErr_SetRaisedException(exc.release());
        throw PythonErrorSet{};
    }
    return exc;
}

// Clears the pending exception where a failure only means "try another way";
// what is not an Exception ends the call, as in take_pending().
void discard_pending() { Failure dropped = take_pending(); }

std::string qualname_of(PyObject* type_or_object)
{
    PyTypeObject* type =
        PyType_Check(type_or_object) ? reinterpret_cast<PyTypeObject*>(type_or_object) : Py_TYPE(type_or_object);
    PyRef name = made(PyType_GetQualName(type));
    std::string text;
    if (!append_text(text, name.get())) api_call_failed();
    return text;
}

// "'<type>' object cannot be converted to '<target>'"
Failure cannot_convert(PyObject* object, const char* target)
{
    std::string message = "'";
    message.append(qualname_of(object)).append("' object cannot be converted to '").append(target).append("'");
    return new_failure(PyExc_TypeError, message);
}

// "<Type>: <str>" for the exception and then each one along its __cause__
// chain, up to the first exception met a second time.
std::string render_exception(PyObject* exc)
{
    std::string out;
    // The chain is held while it is walked: a __str__ may rewrite a __cause__
    // met earlier and free what it pointed to, and a freed address used again
    // must not pass for an exception already seen.
    std::vector<PyRef> chain;
    std::unordered_set<PyObject*> seen;
    for (PyRef current = PyRef::borrow(exc); current;) {
        if (!seen.insert(current.get()).second) break;  // a cycle
        if (!out.empty()) out += ", caused by ";
        out += qualname_of(current.get()) + ": ";
        PyRef text = PyRef::steal(PyObject_Str(current.get()));
        if (!text || !append_text(out, text.get())) {
            discard_pending();
            out += "<exception str() failed>";
        }
        PyRef cause = PyRef::steal(PyException_GetCause(current.get()));
        chain.push_back(std::move(current));
        current = std::move(cause);
    }
    return out;
}

// Item by item through the iteration protocol; on failure, the exception.
std::optional<Failure> iterate_bytes(PyObject* object, std::vector<std::uint8_t>& out)
{
    Py_ssize_t length = PySequence_Size(object);
    if (length < 0) {
        discard_pending();
        length = 0;
    }
    // A sequence may lie about its length; the vector grows past this if needed.
    constexpr Py_ssize_t kMaxReserve = Py_ssize_t{64} * 1024 * 1024;
    out.reserve(static_cast<std::size_t>(std::min(length, kMaxReserve)));
    PyRef iterator = PyRef::steal(PyObject_GetIter(object));
    if (!iterator) return take_pending();
    while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
        PyRef index = PyRef::steal(PyNumber_Index(item.get()));
        if (!index) return take_pending();
        const long value = PyLong_AsLong(index.get());
        if (value == -1 && PyErr_Occurred()) return take_pending();
        if (value < 0 || value > 255) {
            return new_failure(PyExc_OverflowError, "out of range integral type conversion attempted");
        }
        out.push_back(static_cast<std::uint8_t>(value));
    }
    if (PyErr_Occurred()) return take_pending();
    return std::nullopt;
}

std::optional<Failure> extract_bytes(PyObject* object, InputTypes& out)
{
    if (PyUnicode_Check(object)) return new_failure(PyExc_TypeError, "a 'str' is not taken as file content");
    if (!PySequence_Check(object)) return cannot_convert(object, "Sequence");
    BytesInput input;
    // A bytes, a bytearray or a memoryview is read in place when that gives
    // exactly what iterating it gives; a subclass of bytes or bytearray may
    // iterate differently and is iterated.
    if (PyBytes_CheckExact(object) || PyByteArray_CheckExact(object) || PyMemoryView_Check(object)) {
        switch (input.exported.acquire_byte_vector(object)) {
        case BufferExport::Outcome::held:
            out = std::move(input);
            return std::nullopt;
        case BufferExport::Outcome::failed:
            // A released memoryview: its ValueError is the failure. It is not
            // iterated: in CPython 3.12.1 iterating a released memoryview reads
            // the format string the exporter may have freed (a numpy array's
            // is), and hands back an iterator with the ValueError still set.
            return take_pending();
        case BufferExport::Outcome::other_layout:
            break;
        }
    }
    if (auto failure = iterate_bytes(object, input.bytes)) return failure;
    out = std::move(input);
    return std::nullopt;
}

PathInput encode_path(PyObject* text)
{
    PyRef encoded = made(PyUnicode_EncodeFSDefault(text));
    return PathInput{
        std::string(PyBytes_AS_STRING(encoded.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())))};
}

std::optional<Failure> extract_path(PyObject* object, InputTypes& out)
{
    if (PyUnicode_Check(object)) {
        out = encode_path(object);
        return std::nullopt;
    }
    PyRef pathlib = PyRef::steal(PyImport_Import(interned::pathlib()));
    if (!pathlib) return take_pending();
    PyRef path_type = PyRef::steal(PyObject_GetAttr(pathlib.get(), interned::Path()));
    if (!path_type) return take_pending();
    const int is_path = PyObject_IsInstance(object, path_type.get());
    if (is_path < 0) return take_pending();
    if (is_path == 0) return cannot_convert(object, "PyString");
    PyRef text = PyRef::steal(PyObject_CallMethodNoArgs(object, interned::dunder_str()));
    if (!text) return take_pending();
    if (!PyUnicode_Check(text.get())) return cannot_convert(text.get(), "PyString");
    out = encode_path(text.get());
    return std::nullopt;
}

std::string variant_line(const char* variant, const char* label, const char* field, PyObject* cause)
{
    return std::string("\n- variant ") + variant + " (" + label + "): TypeError: failed to extract field " + field +
           ", caused by " + render_exception(cause);
}

}  // namespace

InputTypes classify_input(PyObject* input)
{
    InputTypes out;
    auto bytes_failure = extract_bytes(input, out);
    if (!bytes_failure) return out;
    auto path_failure = extract_path(input, out);
    if (!path_failure) return out;
    type_error("argument 'input': failed to extract enum InputTypes ('bytes | str')" +
               variant_line("Bytes", "bytes", "InputTypes::Bytes.0", bytes_failure->get()) +
               variant_line("Path", "str", "InputTypes::Path.0", path_failure->get()));
}

}  // namespace vorn::py
