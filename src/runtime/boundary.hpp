// The one place where C++ exceptions turn back into Python errors.
#pragma once

#include <exception>
#include <new>

#include "ref.hpp"

namespace velmo::rt {

// Sets a Python exception for a C++ exception that is not PyErrorSet.
void translate_current_exception() noexcept;

// Runs body (returning a Ref) for a Python-visible entry point: the new reference, or NULL
// with the Python exception set.
template <class F>
PyObject* entry_point(F&& body) noexcept {
    try {
        return body().release();
    } catch (const PyErrorSet&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
    } catch (...) {
        translate_current_exception();
    }
    return nullptr;
}

// The same for entry points that return 0 / -1.
template <class F>
int entry_point_status(F&& body) noexcept {
    try {
        body();
        return 0;
    } catch (const PyErrorSet&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
    } catch (...) {
        translate_current_exception();
    }
    return -1;
}

}  // namespace velmo::rt
