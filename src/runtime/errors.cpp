// Error builders and the translation of C++ exceptions into Python errors.
#include <cstdarg>
#include <exception>
#include <new>
#include <stdexcept>

#include "boundary.hpp"

namespace velmo::rt {

void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw_error();
}

void raise_format(PyObject* type, const char* format, ...) {
    va_list va;
    va_start(va, format);
    PyErr_FormatV(type, format, va);
    va_end(va);
    throw_error();
}

void raise_obj(PyObject* type, PyObject* value) {
    PyErr_SetObject(type, value);
    throw_error();
}

void raise_argument_type(const char* name, const char* expected, PyObject* given) {
    raise_format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name, expected,
                 Py_TYPE(given)->tp_name);
}

void restore_current_exception() noexcept {
    try {
        throw;
    } catch (const PyErrorSet&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
}

Ref take_current_exception() noexcept {
    restore_current_exception();
    return Ref::steal_or_null(PyErr_GetRaisedException());
}

}  // namespace velmo::rt
