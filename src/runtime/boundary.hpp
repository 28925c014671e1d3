// The one place where C++ exceptions turn back into Python errors.
//
// Inside module code a failed C-API call throws PyErrorSet ("a Python exception is set"); any
// other C++ exception (bad_alloc, a library's) is translated here. Every Python-visible entry
// point runs its body through entry_point / entry_point_status, and code that must hold an
// exception aside while it cleans up (a generator step, a with statement) takes it with
// take_current_exception.
#pragma once

#include "ref.hpp"

namespace velmo::rt {

// Sets the Python exception for the C++ exception being handled: the one already set for
// PyErrorSet, a translation for anything else. Call only inside a catch block.
void restore_current_exception() noexcept;

// The same exception, taken out of the thread state as an owned object.
Ref take_current_exception() noexcept;

// Runs body (returning a Ref) for a Python-visible entry point: the new reference, or NULL
// with the Python exception set.
template <class F>
PyObject* entry_point(F&& body) noexcept {
    try {
        return body().release();
    } catch (...) {
        restore_current_exception();
    }
    return nullptr;
}

// The same for entry points that return 0 / -1.
template <class F>
int entry_point_status(F&& body) noexcept {
    try {
        body();
        return 0;
    } catch (...) {
        restore_current_exception();
    }
    return -1;
}

// While it lives, `exc` is the exception being handled (what sys.exception() returns), as inside
// an except or finally block: an exception raised meanwhile gets it as __context__.
class HandlingScope {
public:
    explicit HandlingScope(PyObject* exc) noexcept : saved_(PyErr_GetHandledException()) {
        PyErr_SetHandledException(exc);
    }
    ~HandlingScope() {
        PyErr_SetHandledException(saved_);
        Py_XDECREF(saved_);
    }
    HandlingScope(const HandlingScope&) = delete;
    HandlingScope& operator=(const HandlingScope&) = delete;

private:
    PyObject* saved_;
};

// Sets `exc` (owned) as the exception in flight again and throws.
[[noreturn]] inline void reraise(Ref exc) {
    PyErr_SetRaisedException(exc.release());
    throw_error();
}

}  // namespace velmo::rt
