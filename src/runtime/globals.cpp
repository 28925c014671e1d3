// Module-global name lookups.
#include "globals.hpp"

namespace velmo::rt {

Ref load_global(PyObject* globals, PyObject* name) {
    if (Ref v = dict_get(globals, name)) return v;
    if (Ref v = dict_get(check(PyEval_GetBuiltins()), name)) return v;
    raise_format(PyExc_NameError, "name '%U' is not defined", name);
}

}  // namespace velmo::rt
