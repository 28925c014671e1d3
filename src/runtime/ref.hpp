// Owning references and the error model shared by every module.
//
// Module code never calls Py_DECREF by hand: anything it keeps is a Ref. A failed C-API call
// throws PyErrorSet ("a Python exception is set"); the entry points in function.cpp and
// module.cpp turn it back into a NULL / -1 return.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <initializer_list>
#include <span>
#include <string_view>
#include <utility>

namespace velmo::rt {

// Thrown when a Python exception is already set.
struct PyErrorSet {};

[[noreturn]] inline void throw_error() { throw PyErrorSet{}; }

// Returns p, or throws when the C-API call that produced it failed.
template <class T>
inline T* check(T* p) {
    if (!p) throw_error();
    return p;
}
inline int check(int rc) {
    if (rc < 0) throw_error();
    return rc;
}

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
    Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    ~Ref() { Py_XDECREF(p_); }
    Ref& operator=(Ref o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }

    // Takes over a new reference; throws when it is NULL (the call failed).
    static Ref steal(PyObject* p) { return Ref(check(p)); }
    // Takes over a new reference that may legitimately be NULL without an error set.
    static Ref steal_or_null(PyObject* p) noexcept { return Ref(p); }
    // Adds a reference to a borrowed pointer.
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    PyObject* operator->() const noexcept { return p_; }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

inline Ref none() { return Ref::borrow(Py_None); }
inline Ref boolean(bool v) { return Ref::borrow(v ? Py_True : Py_False); }
inline Ref str(std::string_view s) {
    return Ref::steal(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}
inline Ref integer(long long v) { return Ref::steal(PyLong_FromLongLong(v)); }
inline Ref interned(const char* s) { return Ref::steal(PyUnicode_InternFromString(s)); }
// An interned name kept for the life of the process (module state holds these).
inline PyObject* kept_name(const char* s) { return interned(s).release(); }

inline Ref getattr(PyObject* o, PyObject* name) { return Ref::steal(PyObject_GetAttr(o, name)); }
inline Ref getattr(PyObject* o, const char* name) { return Ref::steal(PyObject_GetAttrString(o, name)); }
// The attribute, or an empty Ref when it is missing (AttributeError cleared).
inline Ref getattr_optional(PyObject* o, PyObject* name) {
    PyObject* r = nullptr;
    check(PyObject_GetOptionalAttr(o, name, &r));
    return Ref::steal_or_null(r);
}
inline void setattr(PyObject* o, PyObject* name, PyObject* v) { check(PyObject_SetAttr(o, name, v)); }
inline void setattr(PyObject* o, const char* name, PyObject* v) { check(PyObject_SetAttrString(o, name, v)); }
inline bool truthy(PyObject* o) { return check(PyObject_IsTrue(o)) != 0; }

// Calls callable(*args) through vectorcall.
inline Ref call(PyObject* callable, std::initializer_list<PyObject*> args = {}) {
    return Ref::steal(PyObject_Vectorcall(callable, const_cast<PyObject**>(args.begin()), args.size(), nullptr));
}
// Calls callable(*positional, **kw) where kwnames names the last len(kwnames) items of args.
inline Ref call_kw(PyObject* callable, std::initializer_list<PyObject*> args, PyObject* kwnames) {
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    return Ref::steal(PyObject_Vectorcall(callable, const_cast<PyObject**>(args.begin()),
                                          static_cast<Py_ssize_t>(args.size()) - nkw, kwnames));
}
// callable(first, *args): for a caller whose arguments come in two parts.
Ref call_with_first(PyObject* callable, PyObject* first, std::span<PyObject* const> args);
// obj.name(*positional, **kw), where kwnames (or NULL) names the last len(kwnames) items of args.
Ref call_method_kw(PyObject* obj, PyObject* name, std::initializer_list<PyObject*> args, PyObject* kwnames);
// obj.name(*args)
inline Ref call_method(PyObject* obj, PyObject* name, std::initializer_list<PyObject*> args = {}) {
    return call_method_kw(obj, name, args, nullptr);
}

// A tuple built from borrowed items.
inline Ref tuple(std::initializer_list<PyObject*> items) {
    Ref t = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (PyObject* o : items) PyTuple_SET_ITEM(t.get(), i++, Py_NewRef(o));
    return t;
}

// Sets a dict item; never steals.
inline void dict_set(PyObject* d, PyObject* k, PyObject* v) { check(PyDict_SetItem(d, k, v)); }
inline void dict_set(PyObject* d, const char* k, PyObject* v) { check(PyDict_SetItemString(d, k, v)); }
// A dict lookup returning a new reference or an empty Ref; errors (unhashable keys) throw.
inline Ref dict_get(PyObject* d, PyObject* k) {
    PyObject* r = nullptr;
    check(PyDict_GetItemRef(d, k, &r));
    return Ref::steal_or_null(r);
}

// Borrowed UTF-8 view of a str (valid while the str lives).
inline std::string_view utf8(PyObject* s) {
    Py_ssize_t n = 0;
    const char* p = check(PyUnicode_AsUTF8AndSize(s, &n));
    return {p, static_cast<size_t>(n)};
}

// Error builders: each sets the Python exception and throws.
[[noreturn]] void raise(PyObject* type, const char* message);
[[noreturn]] void raise_format(PyObject* type, const char* format, ...);
[[noreturn]] void raise_obj(PyObject* type, PyObject* value);
// Exception(message) of the plain Exception class.
[[noreturn]] inline void raise_exception(const char* message) { raise(PyExc_Exception, message); }
// TypeError "Argument 'NAME' has incorrect type (expected EXPECTED, got TYPE)".
[[noreturn]] void raise_argument_type(const char* name, const char* expected, PyObject* given);

// Holds a Python exception that is being handled while cleanup code runs, and restores it.
class SavedError {
public:
    SavedError() noexcept : exc_(PyErr_GetRaisedException()) {}
    ~SavedError() { Py_XDECREF(exc_); }
    PyObject* get() const noexcept { return exc_; }
    // Sets it again as the current exception (ownership passes to the interpreter).
    void restore() noexcept {
        PyErr_SetRaisedException(exc_);
        exc_ = nullptr;
    }
    SavedError(const SavedError&) = delete;
    SavedError& operator=(const SavedError&) = delete;

private:
    PyObject* exc_;
};

}  // namespace velmo::rt
