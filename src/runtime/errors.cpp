// Method calls, error builders and the translation of C++ exceptions into Python errors.
#include <algorithm>
#include <cstdarg>
#include <exception>
#include <iterator>
#include <new>
#include <span>
#include <stdexcept>
#include <vector>

#include "boundary.hpp"

namespace velmo::rt {

namespace {

// `first` in front of `args`, as a vectorcall stack: most calls fit the buffer on the stack,
// longer ones get one of their own.
class FirstThenArgs {
public:
    FirstThenArgs(PyObject* first, std::span<PyObject* const> args) : n_(1 + args.size()) {
        if (n_ > std::size(small_)) {
            large_.resize(n_);
            stack_ = large_.data();
        }
        stack_[0] = first;
        std::copy(args.begin(), args.end(), stack_ + 1);
    }
    PyObject** stack() { return stack_; }
    size_t size() const { return n_; }

private:
    size_t n_;
    PyObject* small_[8];
    std::vector<PyObject*> large_;
    PyObject** stack_ = small_;
};

}  // namespace

Ref call_method_kw(PyObject* obj, PyObject* name, std::initializer_list<PyObject*> args, PyObject* kwnames) {
    // The receiver goes in front of the arguments, as PyObject_VectorcallMethod wants it.
    FirstThenArgs stack(obj, {args.begin(), args.size()});
    size_t nkw = kwnames ? static_cast<size_t>(PyTuple_GET_SIZE(kwnames)) : 0;
    return Ref::steal(
        PyObject_VectorcallMethod(name, stack.stack(), (stack.size() - nkw) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

Ref call_with_first(PyObject* callable, PyObject* first, std::span<PyObject* const> args) {
    FirstThenArgs stack(first, args);
    return Ref::steal(PyObject_Vectorcall(callable, stack.stack(), stack.size(), nullptr));
}

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
