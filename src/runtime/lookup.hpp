// Name lookups made as Python code makes them, and the tests that tell when a native fast path
// may stand in for them.
//
// A module's native code looks its globals up at call time (load_global), as a function body
// does, so that a rebound name behaves as it would in Python. A fast path that replaces a call of
// such a name, or of a method, with native code is taken only while the lookup would still find
// the very object the module resolved: global_is for a module global (or builtin), is_own_method
// for a method looked up on an instance, type_attribute_is for a class attribute, and TypeWatch
// to remember a verified type until it changes.
#pragma once

#include "internals.hpp"

namespace velmo::rt {

// globals[name], else the builtin of that name, else NameError "name 'NAME' is not defined".
Ref load_global(PyObject* globals, PyObject* name);

// Whether load_global(globals, name) would give `ours` (no error raised either way). `ours`
// must be a reference the caller keeps, so that its address cannot be reused.
bool global_is(PyObject* globals, PyObject* name, PyObject* ours) noexcept;

// Whether obj.name resolves to `ours`, found on obj's type through the generic attribute lookup
// with nothing in the instance dict to shadow it: then obj.name(...) is ours called with obj.
bool is_own_method(PyObject* obj, PyObject* name, PyObject* ours) noexcept;

// Whether the class attribute `name` of `type` (a class) is `ours`.
inline bool type_attribute_is(PyObject* type, PyObject* name, PyObject* ours) noexcept {
    return PyType_Check(type) && internals::type_lookup(reinterpret_cast<PyTypeObject*>(type), name) == ours;
}

// Remembers the outcome of a check of a type by the type's version tag: while the tag holds, the
// type (and its bases) are unchanged and the check need not run again, passed or failed.
class TypeWatch {
public:
    // Whether `type` passes `verify(type)`, answered from memory while nothing has changed.
    template <class Verify>
    bool holds(PyTypeObject* type, Verify&& verify) {
        unsigned int tag = internals::current_type_version(type);
        if (type == type_ && tag != 0) {
            if (tag == passed_) return true;
            if (tag == failed_) return false;
        }
        bool ok = verify(type);
        if (type != type_) passed_ = failed_ = 0;
        type_ = type;
        (ok ? passed_ : failed_) = internals::type_version(type);
        return ok;
    }

private:
    PyTypeObject* type_ = nullptr;  // compared by address only, while a tag matches
    unsigned int passed_ = 0, failed_ = 0;
};

}  // namespace velmo::rt
