// The extension module vorn_tools._native: a file's metadata as the same
// Python objects vorn_parser.parse gives, its samples decoded straight into
// buffer-protocol arrays, and its whole result document, all through the one
// core reader. Paths and bytes are read and decoded with the interpreter lock
// let go of; a Python file object is read with it held (reading it runs
// Python code).
#include <optional>
#include <sstream>
#include <string>
#include <variant>

#include "array_sink.h"
#include "buffer_export.h"
#include "check.h"
#include "code_tables.h"
#include "failure.h"
#include "failures.h"
#include "file_object_reader.h"
#include "gc_paused.h"
#include "gil_released.h"
#include "internal_failure.h"
#include "layout.h"
#include "metadata.h"
#include "py_builder.h"
#include "samples.h"
#include "signals.h"
#include "translate.h"
#include "unchanged.h"
#include "vorn_data_file.h"

namespace vorn::py {

namespace {

// One call's source: named by (kind, source, size): "path" (bytes in the
// file-system encoding), "buffer" (an immutable bytes object, read in place)
// or "file" (a binary file object of `size` bytes).
struct OpenSource {
    BufferExport held;         // the buffer's export, kept while it is read
    bool python_file = false;  // reading calls Python: the lock stays held
};

[[noreturn]] void failed(const ParseError& error) { throw ReadFailed{describe_failure(error)}; }

// The ends of a read with the lock let go of: a Python exception (a signal
// handler's, or a file object's) leaves as it is, anything else as facts.
[[noreturn]] void read_failed(ReadError error)
{
    ParseError e = parse_error(std::move(error));
    if (std::holds_alternative<Interrupted>(e) && PyErr_Occurred()) throw PythonErrorSet{};
    failed(e);
}

ByteSource open_source(const std::string& kind, PyObject* source, PyObject* size, OpenSource& out)
{
    if (kind == "path") {
        if (!PyBytes_Check(source)) {
            PyErr_SetString(PyExc_TypeError, "a path is given as bytes");
            throw PythonErrorSet{};
        }
        std::string path(PyBytes_AS_STRING(source), static_cast<std::size_t>(PyBytes_GET_SIZE(source)));
        Result<ByteSource, OpenError> opened = OpenError{};
        {
            GilReleased unlocked(true);
            opened = DataContainer::from_path(std::move(path), python_signal_raised_unlocked).load_data();
        }
        if (!opened) {
            if (opened.error().interrupted && PyErr_Occurred()) throw PythonErrorSet{};
            failed(ParseError(opened.error()));
        }
        opened->set_window_check(python_signal_raised_between_windows);
        return std::move(*opened);
    }
    if (kind == "buffer") {
        // Immutable content only: nothing can change it while the lock is let go of.
        if (!PyBytes_Check(source)) {
            PyErr_SetString(PyExc_TypeError, "content is given as bytes");
            throw PythonErrorSet{};
        }
        if (out.held.acquire_byte_vector(source) != BufferExport::Outcome::held) throw PythonErrorSet{};
        ByteSource src = ByteSource::borrowing(out.held.bytes());
        src.set_window_check(python_signal_raised_between_windows);
        return src;
    }
    if (kind == "file") {
        const unsigned long long n = PyLong_AsUnsignedLongLong(size);
        if (n == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PythonErrorSet{};
        out.python_file = true;
        ByteSource src = ByteSource::ranges(std::make_unique<FileObjectReader>(source), n);
        src.set_window_check(python_signal_raised);
        return src;
    }
    PyErr_Format(PyExc_ValueError, "unknown source kind %s", kind.c_str());
    throw PythonErrorSet{};
}

// A file that is no longer the one whose metadata was read.
[[noreturn]] void changed()
{
    FailureFacts facts;
    facts.kind = FailureKind::Io;
    facts.reason = "the file changed since it was opened";
    facts.details = facts.reason;
    throw ReadFailed{std::move(facts)};
}

// A check of the core that ended the read: facts about the file, judged by
// its first bytes (not a file of this kind, or damaged).
[[noreturn]] void check_failed(const InternalFailure& failure, ByteSource& src)
{
    throw ReadFailed{describe_failure(failure, lead_of(src))};
}

// The summary as the parse builds it, its digital-filter lines written
// nowhere. The parse reads the data section before it builds the summary, so
// when the summary fails, a failure of the data section is the file's
// failure, as the parse reports it.
Info summary_of(const FileMetadata& blocks, ByteSource& src)
{
    try {
        return extract_info(blocks.headers, blocks.parameters, nullptr);
    } catch (const InternalFailure&) {
        ArraySink scratch;
        Status status = read_data_into(src, blocks.headers, scratch);
        if (!status) throw std::move(status).error();
        throw;
    }
}

struct Arguments {
    std::string kind;
    PyObject* source;
    PyObject* size;
    PyObject* name;
};

Arguments bind(const char* signature, PyObject* const* args, Py_ssize_t nargs, Py_ssize_t expected)
{
    if (nargs != expected) {
        PyErr_Format(PyExc_TypeError, "%s takes %zd arguments", signature, expected);
        throw PythonErrorSet{};
    }
    const char* kind = PyUnicode_AsUTF8(args[0]);
    if (kind == nullptr) throw PythonErrorSet{};
    return Arguments{kind, args[1], args[2], args[nargs - 1]};
}

// The samples as (values, mixed or None), or the data step's ParseError: a
// data failure is handed back, not raised, so that the metadata read with it
// stays usable.
// `was`, when given, is what the file was when its metadata was read: it must
// be the same file before the samples are read, and after.
PyRef read_samples(ByteSource& src, bool python_file, const Headers& headers, PyObject* name,
                   const OpenedAs* was = nullptr)
{
    ArraySink sink;
    try {
        Status status = Ok{};
        bool same = true;
        {
            GilReleased unlocked(!python_file);
            try {
                same = was == nullptr || same_file(*was, src);
                if (same) status = read_data_into(src, headers, sink);
                // A write while the samples were read shows in the identity.
                if (same && was != nullptr && was->identity) same = src.identity() == was->identity;
            } catch (const InternalFailure& failure) {
                check_failed(failure, src);
            }
        }
        if (same && !status) read_failed(std::move(status).error());
        if (!same) {
            // A file object's own error, or a signal's, while its blocks were read again.
            if (PyErr_Occurred()) throw PythonErrorSet{};
            changed();
        }
    } catch (const ReadFailed& failure) {
        return new_parse_error(name, failure.facts);
    }
    const bool one_row = headers.data_format == "One_D";
    PyRef values = new_samples(sink.take_values(), one_row);
    std::optional<DoubleBlock> mixed_block = sink.take_mixed();
    PyRef mixed = mixed_block ? new_samples(std::move(*mixed_block), one_row) : PyRef::borrow(Py_None);
    return made(PyTuple_Pack(2, values.get(), mixed.get()));
}

PyObject* read(PyObject* const* args, Py_ssize_t nargs)
{
    Arguments a = bind("read(kind, source, size, data, name)", args, nargs, 5);
    const int want_data = PyObject_IsTrue(args[3]);
    if (want_data < 0) throw PythonErrorSet{};
    try {
        OpenSource open;
        ByteSource src = open_source(a.kind, a.source, a.size, open);
        // Bytes cannot change; a path or a file object is checked when read again.
        const bool changeable = a.kind != "buffer";
        FileRecords records = [&] {
            GilReleased unlocked(!open.python_file);
            try {
                const std::optional<FileIdentity> identity = src.identity();
                auto blocks = read_metadata(src);
                // Raised with the lock held again, by the handler below.
                if (!blocks) throw std::move(blocks).error();
                OpenedAs opened = changeable ? opened_as(src, blocks->headers, identity) : OpenedAs{};
                // A path read as a stream (not a regular file) cannot be read again as the same.
                if (a.kind == "path" && !identity) opened.comparable = false;
                Info info = summary_of(*blocks, src);
                Layout layout = describe_layout(blocks->headers);
                auto cut = cut_short(layout, src);
                const bool cut_found = cut.ok() && *cut;
                return FileRecords{std::move(*blocks), std::move(info), std::move(layout), cut_found,
                                   std::move(opened)};
            } catch (const InternalFailure& failure) {
                check_failed(failure, src);
            }
        }();
        // Read in the same pass, the samples need only the identity kept.
        OpenedAs during;
        during.identity = records.opened.identity;
        PyRef data = want_data ? read_samples(src, open.python_file, records.blocks.headers, a.name, &during)
                               : PyRef::borrow(Py_None);
        PyRef metadata = new_metadata(std::move(records));
        return made(PyTuple_Pack(2, metadata.get(), data.get())).release();
    } catch (ReadError& error) {
        try {
            read_failed(std::move(error));
        } catch (const ReadFailed& failure) {
            raise_parse_error(a.name, failure.facts);
        }
    } catch (const ReadFailed& failure) {
        raise_parse_error(a.name, failure.facts);
    }
    return nullptr;
}

// The samples of a file whose metadata was read before: its header is not
// read again, the data section is read where that header says.
PyObject* samples(PyObject* const* args, Py_ssize_t nargs)
{
    if (nargs != 5) {
        PyErr_SetString(PyExc_TypeError, "samples(metadata, kind, source, size, name) takes 5 arguments");
        throw PythonErrorSet{};
    }
    const FileRecords* records = records_of_metadata(args[0]);
    if (records == nullptr) throw PythonErrorSet{};
    Arguments a = bind("samples(metadata, kind, source, size, name)", args + 1, nargs - 1, 4);
    try {
        OpenSource open;
        ByteSource src = open_source(a.kind, a.source, a.size, open);
        // The Metadata object, and so the header, outlives this call: the
        // caller holds it.
        return read_samples(src, open.python_file, records->blocks.headers, a.name, &records->opened).release();
    } catch (const ReadFailed& failure) {
        raise_parse_error(a.name, failure.facts);
    }
    return nullptr;
}

// The whole result document, the same dict as vorn_parser.parse builds (by
// the same builder, its key order included), and the digital-filter lines as
// text.
PyObject* document(PyObject* const* args, Py_ssize_t nargs)
{
    Arguments a = bind("document(kind, source, size, name)", args, nargs, 4);
    try {
        OpenSource open;
        ByteSource src = open_source(a.kind, a.source, a.size, open);
        std::ostringstream lines;
        Result<VornDataFile> file = [&] {
            GilReleased unlocked(!open.python_file);
            try {
                return read_document(src, &lines);
            } catch (const InternalFailure& failure) {
                check_failed(failure, src);
            }
        }();
        if (!file) read_failed(std::move(file).error());
        PyRef dict;
        {
            GcPaused paused;
            dict = to_py_releasing(std::move(*file));
        }
        const std::string text = lines.str();
        PyRef filter_lines = made(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
        return made(PyTuple_Pack(2, dict.get(), filter_lines.get())).release();
    } catch (const ReadFailed& failure) {
        raise_parse_error(a.name, failure.facts);
    }
    return nullptr;
}

// The unit prefixes' powers of ten, from the reader's table.
PyObject* prefix_powers()
{
    PyRef dict = made(PyDict_New());
    for (const PrefixPower& prefix : vorn::prefix_powers()) {
        PyRef power = made(PyLong_FromLong(prefix.power));
        PyRef name = to_py(prefix.name);
        if (PyDict_SetItem(dict.get(), name.get(), power.get()) < 0) throw PythonErrorSet{};
    }
    return dict.release();
}

PyObject* prefix_powers_entry(PyObject* /*module*/, PyObject* /*unused*/)
{
    return translated<NativeFailures>([] { return prefix_powers(); });
}

PyObject* read_entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs)
{
    return translated<NativeFailures>([&] { return read(args, nargs); });
}

PyObject* samples_entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs)
{
    return translated<NativeFailures>([&] { return samples(args, nargs); });
}

PyObject* document_entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs)
{
    return translated<NativeFailures>([&] { return document(args, nargs); });
}

PyObject* check_entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs)
{
    return translated<NativeFailures>([&] { return check(args, nargs); });
}

PyObject* check_codes_entry(PyObject* /*module*/, PyObject* /*unused*/)
{
    return translated<NativeFailures>([&] { return check_codes(); });
}

PyMethodDef methods[] = {
    {"read", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&read_entry)), METH_FASTCALL,
     "read(kind, source, size, data, name, /)\n--\n\n"
     "Read a file's header and parameter blocks, as a Metadata object, and its samples (when\n"
     "`data`) as (values, mixed) Samples, or the data step's ParseError (not raised)."},
    {"samples", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&samples_entry)), METH_FASTCALL,
     "samples(metadata, kind, source, size, name, /)\n--\n\n"
     "Read the samples of a file whose Metadata was read before, as read() does: (values, mixed)\n"
     "Samples, or the data step's ParseError (not raised)."},
    {"document", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&document_entry)), METH_FASTCALL,
     "document(kind, source, size, name, /)\n--\n\n"
     "Read a whole file into the dict vorn_parser.parse gives, and its digital-filter lines as text."},
    {"prefix_powers", &prefix_powers_entry, METH_NOARGS,
     "prefix_powers()\n--\n\nThe unit prefixes' powers of ten, by name, as the reader's table has them."},
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
    "The core reader of vorn_parser for vorn_tools: metadata, samples as arrays, whole documents.",
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
    if (!samples_type_ready() || !metadata_type_ready()) throw PythonErrorSet{};
    if (PyModule_AddObjectRef(module.get(), "Samples", reinterpret_cast<PyObject*>(samples_type())) < 0) {
        throw PythonErrorSet{};
    }
    if (PyModule_AddObjectRef(module.get(), "Metadata", reinterpret_cast<PyObject*>(metadata_type())) < 0) {
        throw PythonErrorSet{};
    }
    return module.release();
}

}  // namespace

}  // namespace vorn::py

// The name CPython looks for in the module _native.
PyMODINIT_FUNC PyInit__native(void)  // NOLINT(bugprone-reserved-identifier)
{
    return vorn::py::translated<vorn::py::NativeFailures>([] { return vorn::py::init_module(); });
}
