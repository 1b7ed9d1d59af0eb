// The extension module vorn_tools._native: a file's metadata as the same
// Python objects vorn_parser.parse gives, and its samples decoded straight
// into buffer-protocol arrays, both through the one core reader.
#include <optional>
#include <string>
#include <variant>

#include "array_sink.h"
#include "check.h"
#include "file_object_reader.h"
#include "internal_failure.h"
#include "metadata.h"
#include "samples.h"
#include "vorn_data_file.h"

namespace vorn::py {

namespace {

// The message of a failed read, worded as vorn_parser's failure so that the
// reasons drawn from it are the same.
constexpr const char* kErrorValueFound = "An error value was found where a successful result was required";

// vorn_tools._native.ReadFailure, an ordinary Exception; made at import.
PyObject* read_failure_class = nullptr;

struct ReadFailed {
    std::string message;
};

std::string failure_text(const ParseError& error) { return std::string(kErrorValueFound) + ": " + render(error); }

// As in vorn_parser: a blocking open or read interrupted by a signal runs the
// interpreter's handlers, and one that raised ends the read.
bool python_signal_raised() noexcept { return PyErr_CheckSignals() < 0; }

// A held buffer export, released on every path.
class HeldBuffer {
public:
    HeldBuffer() = default;
    HeldBuffer(const HeldBuffer&) = delete;
    HeldBuffer& operator=(const HeldBuffer&) = delete;
    ~HeldBuffer()
    {
        if (held_) PyBuffer_Release(&view_);
    }
    void acquire(PyObject* object)
    {
        if (PyObject_GetBuffer(object, &view_, PyBUF_SIMPLE) < 0) throw PythonErrorSet{};
        held_ = true;
    }
    std::span<const std::uint8_t> bytes() const
    {
        return {static_cast<const std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len)};
    }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// The source named by (kind, source, size): "path" (bytes in the file-system
// encoding), "buffer" (a bytes-like object, read in place) or "file" (a binary
// file object of `size` bytes).
ByteSource open_source(const std::string& kind, PyObject* source, PyObject* size, HeldBuffer& held)
{
    if (kind == "path") {
        if (!PyBytes_Check(source)) {
            PyErr_SetString(PyExc_TypeError, "a path is given as bytes");
            throw PythonErrorSet{};
        }
        std::string path(PyBytes_AS_STRING(source), static_cast<std::size_t>(PyBytes_GET_SIZE(source)));
        auto opened = DataContainer::from_path(std::move(path), python_signal_raised).load_data();
        if (!opened) {
            if (opened.error().interrupted) throw PythonErrorSet{};
            throw ReadFailed{failure_text(ParseError(opened.error()))};
        }
        return std::move(*opened);
    }
    if (kind == "buffer") {
        held.acquire(source);
        return ByteSource::borrowing(held.bytes());
    }
    if (kind == "file") {
        const unsigned long long n = PyLong_AsUnsignedLongLong(size);
        if (n == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PythonErrorSet{};
        return ByteSource::ranges(std::make_unique<FileObjectReader>(source), n);
    }
    PyErr_Format(PyExc_ValueError, "unknown source kind %s", kind.c_str());
    throw PythonErrorSet{};
}

// A failed read: the handler's or the file object's exception when the read
// was ended by one, else the failure with its message.
[[noreturn]] void read_failed(ReadError error)
{
    ParseError e = parse_error(std::move(error));
    if (std::holds_alternative<Interrupted>(e)) throw PythonErrorSet{};
    throw ReadFailed{failure_text(e)};
}

// The samples as (values, mixed or None), or the failure's message: a data
// failure is handed back, not raised, so that the metadata read with it
// stays usable.
PyRef read_samples(ByteSource& src, const Headers& headers)
{
    ArraySink sink;
    try {
        auto status = read_data_into(src, headers, sink);
        if (!status) read_failed(std::move(status).error());
    } catch (const ReadFailed& failed) {
        return made(PyUnicode_FromString(failed.message.c_str()));
    } catch (const InternalFailure& failure) {
        return made(PyUnicode_DecodeUTF8(failure.message().data(), static_cast<Py_ssize_t>(failure.message().size()),
                                         "replace"));
    }
    const bool one_row = headers.data_format == "One_D";
    PyRef values = new_samples(sink.take_values(), one_row);
    std::optional<DoubleBlock> mixed_block = sink.take_mixed();
    PyRef mixed = mixed_block ? new_samples(std::move(*mixed_block), one_row) : PyRef::borrow(Py_None);
    return made(PyTuple_Pack(2, values.get(), mixed.get()));
}

PyObject* read(PyObject* const* args, Py_ssize_t nargs)
{
    if (nargs != 4) {
        PyErr_SetString(PyExc_TypeError, "read(kind, source, size, data) takes 4 arguments");
        throw PythonErrorSet{};
    }
    const char* kind = PyUnicode_AsUTF8(args[0]);
    if (kind == nullptr) throw PythonErrorSet{};
    const int want_data = PyObject_IsTrue(args[3]);
    if (want_data < 0) throw PythonErrorSet{};

    HeldBuffer held;
    ByteSource src = open_source(kind, args[1], args[2], held);
    auto blocks = read_metadata(src);
    if (!blocks) read_failed(std::move(blocks).error());
    // The summary is built as the parse builds it (its failures are the
    // parse's), with its digital-filter lines written nowhere.
    Info info = extract_info(blocks->headers, blocks->parameters, nullptr);
    PyRef data = want_data ? read_samples(src, blocks->headers) : PyRef::borrow(Py_None);
    PyRef metadata = new_metadata(FileRecords{std::move(*blocks), std::move(info)});
    return made(PyTuple_Pack(2, metadata.get(), data.get())).release();
}

// Every C++ failure leaving a call becomes a Python exception here.
template <class F>
PyObject* guarded(F&& body) noexcept
{
    try {
        return body();
    } catch (const PythonErrorSet&) {
    } catch (const ReadFailed& failed) {
        PyErr_SetString(read_failure_class, failed.message.c_str());
    } catch (const InternalFailure& e) {
        PyErr_SetString(read_failure_class, e.message().c_str());
    } catch (const std::bad_alloc&) {
        PyErr_SetString(read_failure_class, "out of memory");
    } catch (const std::exception& e) {
        PyErr_SetString(read_failure_class, e.what());
    } catch (...) {
        PyErr_SetString(read_failure_class, "unknown C++ exception");
    }
    return nullptr;
}

PyObject* read_entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs)
{
    return guarded([&] { return read(args, nargs); });
}

PyObject* check_entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs)
{
    return guarded([&] { return check(args, nargs); });
}

PyObject* check_codes_entry(PyObject* /*module*/, PyObject* /*unused*/)
{
    return guarded([&] { return check_codes(); });
}

PyMethodDef methods[] = {
    {"read", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&read_entry)), METH_FASTCALL,
     "read(kind, source, size, data)\n--\n\n"
     "Read a file's header and parameter blocks, as a Metadata object, and its samples (when\n"
     "`data`) as (values, mixed) Samples, or the data step's failure message."},
    {"check", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&check_entry)), METH_FASTCALL,
     "check(kind, source, size, samples, /)\n--\n\n"
     "The checker's report on a file: a dict of its verdict and findings (the samples are\n"
     "decoded only when `samples`)."},
    {"check_codes", &check_codes_entry, METH_NOARGS,
     "check_codes()\n--\n\nEvery code a report may hold, as (code, severity, title) tuples."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "vorn_tools._native",
    "The core reader of vorn_parser for vorn_tools: metadata and samples as arrays.",
    0,
    methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* init_module()
{
    PyRef module = made(PyModule_Create(&module_definition));
    if (read_failure_class == nullptr) {
        read_failure_class =
            PyErr_NewExceptionWithDoc("vorn_tools._native.ReadFailure",
                                      "A data file could not be read; the message says why.", PyExc_Exception, nullptr);
        if (read_failure_class == nullptr) throw PythonErrorSet{};
    }
    if (!samples_type_ready() || !metadata_type_ready()) throw PythonErrorSet{};
    if (PyModule_AddObjectRef(module.get(), "ReadFailure", read_failure_class) < 0) throw PythonErrorSet{};
    if (PyModule_AddObjectRef(module.get(), "Samples", reinterpret_cast<PyObject*>(samples_type())) < 0) {
        throw PythonErrorSet{};
    }
    return module.release();
}

}  // namespace

}  // namespace vorn::py

// The name CPython looks for in the module _native.
PyMODINIT_FUNC PyInit__native(void)  // NOLINT(bugprone-reserved-identifier)
{
    try {
        return vorn::py::init_module();
    } catch (const vorn::py::PythonErrorSet&) {
    } catch (const std::exception& e) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, e.what());
    }
    return nullptr;
}
