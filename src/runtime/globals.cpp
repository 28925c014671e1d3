// Module-global name lookups.
#include "globals.hpp"

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

}  // namespace velmo::rt
