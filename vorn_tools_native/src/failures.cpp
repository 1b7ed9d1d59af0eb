// Building vorn_tools.ParseError (defined in vorn_tools.reading.errors) from the core's facts.
#include "failures.h"

#include "py_builder.h"

namespace vorn::py {

namespace {

PyRef text(const std::string& s)
{
    return made(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace"));
}

PyRef frames_of(const FailureFacts& facts)
{
    PyRef list = new_list(facts.frames.size());
    for (std::size_t i = 0; i < facts.frames.size(); ++i) {
        PyRef field = text(facts.frames[i].field);
        PyRef record = text(facts.frames[i].record);
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                        made(PyTuple_Pack(2, field.get(), record.get())).release());
    }
    return list;
}

}  // namespace

PyRef new_parse_error(PyObject* name, const FailureFacts& facts)
{
    PyRef module = made(PyImport_ImportModule("vorn_tools"));
    PyRef cls = made(PyObject_GetAttrString(module.get(), "ParseError"));
    PyRef kind = text(std::string(kind_name(facts.kind)));
    PyRef reason = text(facts.reason);
    PyRef frames = frames_of(facts);
    PyRef position = facts.position ? made(PyLong_FromUnsignedLongLong(*facts.position)) : PyRef::borrow(Py_None);
    PyRef block = facts.block.empty() ? PyRef::borrow(Py_None) : text(facts.block);
    PyRef details = text(facts.details);
    PyRef source = PyRef::borrow(name != nullptr ? name : Py_None);
    return made(PyObject_CallMethod(cls.get(), "from_core", "OOOOOOO", source.get(), kind.get(), reason.get(),
                                    frames.get(), position.get(), block.get(), details.get()));
}

void raise_parse_error(PyObject* name, const FailureFacts& facts)
{
    PyRef error = new_parse_error(name, facts);
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
}

void NativeFailures::internal(const std::string& message, SourceLoc /*where*/)
{
    FailureFacts facts;
    facts.kind = FailureKind::Internal;
    facts.reason = message;
    facts.details = message;
    // A failure while making the exception leaves that failure set instead.
    try {
        raise_parse_error(nullptr, facts);
    } catch (...) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, message.c_str());
    }
}

}  // namespace vorn::py
