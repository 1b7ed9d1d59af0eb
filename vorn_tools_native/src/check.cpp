// The checker for Python: the core's audit of a file, its report built by the
// records' builder.
#include "check.h"

#include <memory>
#include <span>
#include <string>

#include "audit.h"
#include "buffer_export.h"
#include "file_object_reader.h"
#include "gil_released.h"
#include "py_builder.h"
#include "signals.h"

namespace vorn::py {

namespace {

Audit audit_of(const std::string& kind, PyObject* source, PyObject* size, AuditOptions options)
{
    if (kind == "path") {
        if (!PyBytes_Check(source)) {
            PyErr_SetString(PyExc_TypeError, "a path is given as bytes");
            throw PythonErrorSet{};
        }
        std::string path(PyBytes_AS_STRING(source), static_cast<std::size_t>(PyBytes_GET_SIZE(source)));
        // No Python object is touched: other threads run meanwhile.
        GilReleased unlocked(true);
        return audit_container(DataContainer::from_path(std::move(path), python_signal_raised_unlocked), options);
    }
    if (kind == "buffer") {
        BufferExport held;
        if (held.acquire_byte_vector(source) != BufferExport::Outcome::held) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "content is given as a vector of bytes");
            throw PythonErrorSet{};
        }
        ByteSource src = ByteSource::borrowing(held.bytes());
        return audit_source(src, options);
    }
    if (kind == "file") {
        const unsigned long long n = PyLong_AsUnsignedLongLong(size);
        if (n == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PythonErrorSet{};
        ByteSource src = ByteSource::ranges(std::make_unique<FileObjectReader>(source), n);
        return audit_source(src, options);
    }
    PyErr_Format(PyExc_ValueError, "unknown source kind %s", kind.c_str());
    throw PythonErrorSet{};
}

}  // namespace

PyObject* check(PyObject* const* args, Py_ssize_t nargs)
{
    if (nargs != 4) {
        PyErr_SetString(PyExc_TypeError, "check(kind, source, size, samples) takes 4 arguments");
        throw PythonErrorSet{};
    }
    const char* kind = PyUnicode_AsUTF8(args[0]);
    if (kind == nullptr) throw PythonErrorSet{};
    const int samples = PyObject_IsTrue(args[3]);
    if (samples < 0) throw PythonErrorSet{};
    const Audit audit = audit_of(kind, args[1], args[2], AuditOptions{samples != 0});
    // A signal handler or the file object raised: its exception is set.
    if (audit.interrupted) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_InterruptedError, "the check was interrupted");
        throw PythonErrorSet{};
    }
    return to_py_shared_keys(audit).release();
}

PyObject* check_codes()
{
    const auto codes = all_codes();
    PyRef list = new_list(codes.size());
    for (std::size_t i = 0; i < codes.size(); ++i) {
        const CodeInfo& c = codes[i];
        const std::string_view severity = severity_name(c.severity);
        PyRef row = made(Py_BuildValue("(s#s#s#)", c.id.data(), static_cast<Py_ssize_t>(c.id.size()), severity.data(),
                                       static_cast<Py_ssize_t>(severity.size()), c.title.data(),
                                       static_cast<Py_ssize_t>(c.title.size())));
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), row.release());
    }
    return list.release();
}

}  // namespace vorn::py
