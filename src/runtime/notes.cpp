// Notes on the exception in flight.
#include "notes.hpp"

namespace velmo::rt {

namespace {

// "add_note", interned on first use (the runtime has no initialisation of its own).
PyObject* add_note_name() {
    static PyObject* const name = PyUnicode_InternFromString("add_note");
    return name;
}

}  // namespace

void detail::add_note(PyObject* exc, PyObject* note) noexcept {
    PyObject* name = add_note_name();
    if (!name) return;
    PyObject* stack[2] = {exc, note};
    PyObject* r = PyObject_VectorcallMethod(name, stack, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    Py_XDECREF(r);
}

}  // namespace velmo::rt
