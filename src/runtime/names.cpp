// Tuples of kept names (see names.hpp).
#include "names.hpp"

namespace velmo::rt {

PyObject* kept_names(std::initializer_list<const char*> names) {
    Ref t = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    Py_ssize_t i = 0;
    for (const char* n : names) PyTuple_SET_ITEM(t.get(), i++, kept_name(n));
    return t.release();
}

}  // namespace velmo::rt
