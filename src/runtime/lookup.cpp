// Module-global lookups and the own-object tests.
#include "lookup.hpp"

namespace velmo::rt {

Ref load_global(PyObject* globals, PyObject* name) {
    if (Ref v = dict_get(globals, name)) return v;
    if (Ref v = dict_get(check(PyEval_GetBuiltins()), name)) return v;
    // NameError with its `name` attribute, as the interpreter raises it.
    Ref message = Ref::steal(PyUnicode_FromFormat("name '%U' is not defined", name));
    Ref exc = call(PyExc_NameError, {message.get()});
    setattr(exc.get(), "name", name);
    raise_obj(PyExc_NameError, exc.get());
}

bool global_is(PyObject* globals, PyObject* name, PyObject* ours) noexcept {
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(globals, name, &found) == 0) {
        PyObject* builtins = PyEval_GetBuiltins();
        if (builtins && PyDict_GetItemRef(builtins, name, &found) < 0) found = nullptr;
    }
    if (PyErr_Occurred()) PyErr_Clear();
    Py_XDECREF(found);  // compared by address only: `ours` is kept by the caller
    return found == ours;
}

bool is_own_method(PyObject* obj, PyObject* name, PyObject* ours) noexcept {
    PyTypeObject* tp = Py_TYPE(obj);
    if (tp->tp_getattro != PyObject_GenericGetAttr) return false;
    if (internals::type_lookup(tp, name) != ours) return false;
    if (!(tp->tp_flags & Py_TPFLAGS_MANAGED_DICT) && tp->tp_dictoffset == 0) return true;
    PyObject** dict = internals::instance_dict_slot(obj);
    if (!dict) return false;
    if (!*dict) return true;
    int found = PyDict_Contains(*dict, name);
    if (found < 0) PyErr_Clear();
    return found == 0;
}

}  // namespace velmo::rt
