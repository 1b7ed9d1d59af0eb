// The extension module vorn_parser: initialisation and parse().
#include <atomic>

#include "arguments.h"
#include "boundary.h"
#include "gc_paused.h"
#include "interned.h"
#include "py_builder.h"
#include "signals.h"
#include "vorn_data_file.h"

namespace vorn::py {

namespace {

constexpr const char* kErrorValueFound = "An error value was found where a successful result was required";

PyObject* parse_input(InputTypes input)
{
    // A held buffer export lives in `input` until this function returns.
    DataContainer container = [&] {
        if (auto* path = std::get_if<PathInput>(&input))
            return DataContainer::from_path(std::move(path->path), python_signal_raised);
        auto& content = std::get<BytesInput>(input);
        if (content.exported.held()) return DataContainer::from_borrowed_bytes(content.exported.bytes());
        return DataContainer::from_bytes(std::move(content.bytes));
    }();
    auto file = parse_from_filepath(std::move(container));
    // The signal handler's exception is already set and leaves as it is.
    if (!file && std::holds_alternative<Interrupted>(file.error())) throw PythonErrorSet{};
    if (!file) throw InternalFailure(std::string(kErrorValueFound) + ": " + render(file.error()), SourceLoc::current());
    // The record is given up to the builder, which frees its samples as it
    // converts them; no collection walks the sample floats meanwhile.
    GcPaused paused;
    return to_py_releasing(std::move(*file)).release();
}

PyObject* parse(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    return guarded([&] { return parse_input(classify_input(bind_input(args, nargs, kwnames))); });
}

PyMethodDef parse_method_definition = {
    "parse",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&parse)),
    METH_FASTCALL | METH_KEYWORDS,
    "parse(input)\n--\n\n"
    "Read a whole data file, given as its bytes or as a path, into a dict.\n"
    "\n"
    "input: the file's content (bytes, bytearray, memoryview or a sequence of\n"
    "ints 0..255) or its path (str or pathlib.Path).\n"
    "\n"
    "Returns a dict with the keys 'headers', 'parameters', 'data' (the sample\n"
    "sections as lists of rows) and 'info' (the experiment summary); the type\n"
    "stub describes every entry.\n"
    "\n"
    "Raises TypeError for an argument that is neither content nor a path, and\n"
    "vorn_parser.ParseFailure (a BaseException, not an Exception) when the file\n"
    "cannot be read: unreadable, damaged or of an unsupported kind. The digital\n"
    "filter's lines go to file descriptor 1, a diagnostic on failure to 2.",
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "vorn_parser",
    "Reader of binary NMR spectrometer data files.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

std::atomic<bool> initialised{false};

// Adds the function under its own __name__ and lists it in __all__.
void add_function(PyObject* module, PyObject* function)
{
    PyRef name = made(PyObject_GetAttr(function, interned::dunder_name()));
    PyRef all = PyRef::steal(PyObject_GetAttr(module, interned::dunder_all()));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonErrorSet{};
        PyErr_Clear();
        all = made(PyList_New(0));
        if (PyObject_SetAttr(module, interned::dunder_all(), all.get()) < 0) throw PythonErrorSet{};
    }
    if (PyList_Append(all.get(), name.get()) < 0) throw PythonErrorSet{};
    if (PyObject_SetAttr(module, name.get(), function) < 0) throw PythonErrorSet{};
}

PyObject* init_module()
{
    PyRef module = PyRef::steal(PyModule_Create2(&module_definition, PYTHON_API_VERSION));
    if (!module) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        return nullptr;
    }
    if (initialised.exchange(true)) {
        PyErr_SetString(PyExc_ImportError,
                        "the vorn_parser module may only be initialized once per interpreter process");
        return nullptr;
    }
    const char* module_name = PyModule_GetName(module.get());
    if (module_name == nullptr) throw PythonErrorSet{};
    PyRef name = made(PyUnicode_FromString(module_name));
    PyRef function = made(PyCMethod_New(&parse_method_definition, module.get(), name.get(), nullptr));
    add_function(module.get(), function.get());
    return module.release();
}

}  // namespace

}  // namespace vorn::py

PyMODINIT_FUNC PyInit_vorn_parser(void)
{
    return vorn::py::guarded([] { return vorn::py::init_module(); });
}
