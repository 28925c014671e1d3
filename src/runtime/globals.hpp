// Module-global name lookups, made as a function body makes them.
#pragma once

#include "ref.hpp"

namespace velmo::rt {

// globals[name], else the builtin of that name, else NameError "name 'NAME' is not defined".
Ref load_global(PyObject* globals, PyObject* name);

}  // namespace velmo::rt
