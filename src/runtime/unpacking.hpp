// Python's own unpacking, with the interpreter's messages: `a, b, ... = value` and `f(**mapping)`.
#pragma once

#include "ref.hpp"

namespace velmo::rt {

inline constexpr int max_unpack = 8;

// a_1, ..., a_n = value (n <= max_unpack): exact tuples and lists of length n directly, anything
// else through its iterator. Raises the ValueError / TypeError the interpreter raises; `out` is
// left untouched then.
void unpack(PyObject* value, Ref* out, int n);

// callable(**mapping): the items are copied into a new dict as the call site does (the callee
// never sees the caller's mapping), with the interpreter's TypeErrors for a non-mapping and for
// a key given twice.
Ref call_with_mapping(PyObject* callable, PyObject* mapping);

}  // namespace velmo::rt
