// Name lookups made as a function body makes them, and the test that tells when a native fast
// path may stand in for a method call.
#pragma once

#include "ref.hpp"

namespace velmo::rt {

// globals[name], else the builtin of that name, else NameError "name 'NAME' is not defined".
Ref load_global(PyObject* globals, PyObject* name);

// Whether obj.name resolves to `ours`, found on obj's type through the generic attribute lookup
// with nothing in the instance dict to shadow it: then obj.name(...) is ours called with obj.
// `ours` must be a reference the caller keeps, so that its address cannot be reused.
bool is_own_method(PyObject* obj, PyObject* name, PyObject* ours);

}  // namespace velmo::rt
