// The private and unstable CPython API this package relies on, in one place.
//
// Each is used to let a native fast path stand in for an observable Python operation only while
// the objects involved are the ones the module resolved; none changes behaviour. Each entry says
// why it is needed and what would break it. Checked against CPython 3.13.
#pragma once

#include "ref.hpp"

namespace velmo::rt::internals {

// _PyType_Lookup: the attribute `name` as type's MRO holds it (borrowed, NULL when absent, no
// error set), the first step of every attribute lookup, without binding or calling anything.
// There is no public equivalent that neither binds descriptors nor runs __getattr__. Exported
// (not in the limited API) since 2.2; would break if it stopped being exported.
PyObject* type_lookup(PyTypeObject* type, PyObject* name) noexcept;

// _PyObject_GetDictPtr: where obj keeps its instance dict (NULL when it has none). Used to see
// whether an instance shadows a method without running its __getattribute__. For a managed dict
// it makes the dict on first use. Would break if managed dicts stopped being reachable this way.
PyObject** instance_dict_slot(PyObject* obj) noexcept;

// The type's version tag, assigned now if it has none (PyUnstable_Type_AssignVersionTag), or 0
// when the type cannot have one. The interpreter gives a type a new tag whenever the type or a
// base is modified, which makes "unchanged since we looked" one comparison. Would break if tags
// stopped being replaced on modification (the interpreter's own caches rely on it too).
unsigned int type_version(PyTypeObject* type) noexcept;
// The tag as it is now, without assigning one (0: none).
inline unsigned int current_type_version(PyTypeObject* type) noexcept { return type->tp_version_tag; }

// _PyObject_FunctionStr: "module.qualname()" as the interpreter names a callable in its call
// errors ("f() argument after ** must be a mapping ..."). Would break if it were unexported; the
// messages would then lose their prefix.
Ref function_str(PyObject* callable);

// The C getter behind a getset descriptor of a static type (PyGetSetDescrObject's d_getset), so
// that a field of an ElementTree element can be read without the attribute machinery. NULL when
// `descr` is not a getset descriptor. Would break if the descriptor's layout changed.
getter getset_getter(PyObject* descr, void** closure) noexcept;

}  // namespace velmo::rt::internals
