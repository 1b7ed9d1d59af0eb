// Range reads from a Python binary file object.
#include "file_object_reader.h"

#include <cstring>
#include <string>

namespace vorn::py {

namespace {

IoOutcome raised() { return IoOutcome{0, 0, true}; }

IoOutcome raise_bad_read(const char* message)
{
    PyErr_SetString(PyExc_ValueError, message);
    return raised();
}

}  // namespace

IoOutcome FileObjectReader::read_at(std::uint64_t offset, std::uint8_t* dst, std::size_t n)
{
    PyRef position =
        PyRef::steal(PyObject_CallMethod(file_.get(), "seek", "K", static_cast<unsigned long long>(offset)));
    if (!position) return raised();
    std::size_t done = 0;
    while (done < n) {
        PyRef chunk = PyRef::steal(PyObject_CallMethod(file_.get(), "read", "n", static_cast<Py_ssize_t>(n - done)));
        if (!chunk) return raised();
        if (chunk.get() == Py_None) break;  // a non-blocking file with nothing at hand: no more
        if (!PyBytes_Check(chunk.get())) return raise_bad_read("the file object's read() did not return bytes");
        const auto got = static_cast<std::size_t>(PyBytes_GET_SIZE(chunk.get()));
        if (got == 0) break;  // the end of the file
        if (got > n - done) return raise_bad_read("the file object's read() returned more bytes than asked for");
        std::memcpy(dst + done, PyBytes_AS_STRING(chunk.get()), got);
        done += got;
    }
    return IoOutcome{done, 0, false};
}

}  // namespace vorn::py
