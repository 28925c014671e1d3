// The one function object type of the package.
//
// A function is declared once, as a Signature (its parameters with defaults, exact-type checks
// and annotation strings); one binder turns a vectorcall into the checked argument array that the
// body receives. The object behaves like a Python function: it binds as a method, works inside
// staticmethod, and carries __name__, __qualname__, __module__, __doc__, __annotations__,
// __defaults__, __kwdefaults__, __dict__ and a __signature__ built from the declaration.
#pragma once

#include <span>
#include <vector>

#include "ref.hpp"

namespace velmo::rt {

// What a parameter falls back to when the caller leaves it out.
enum class Default : uint8_t { Required, None, False, Str };

// The exact type a parameter must have (subclasses refused; None only with Default::None).
enum class Exact : uint8_t { Any, Str, Dict, List, Set, Int };

struct Param {
    const char* name;
    Default fallback = Default::Required;
    Exact exact = Exact::Any;
    const char* annotation = nullptr;   // stored as a string in __annotations__
    const char* str_default = nullptr;  // with Default::Str
};

struct Function;

// The checked arguments of one call, one per declared parameter (borrowed references).
class Args {
public:
    Args(Function* fn, PyObject* const* values) noexcept : fn_(fn), values_(values) {}
    PyObject* operator[](size_t i) const noexcept { return values_[i]; }
    // The number of declared parameters: one argument each.
    size_t size() const noexcept;
    // The arguments from [first] on.
    std::span<PyObject* const> from(size_t first) const noexcept { return {values_ + first, size() - first}; }
    // The globals of the module that defined the function (its __globals__).
    PyObject* globals() const noexcept;
    // The Signature's data, as the T it points to.
    template <class T>
    const T& data() const noexcept {
        return *static_cast<const T*>(raw_data());
    }

private:
    const void* raw_data() const noexcept;
    Function* fn_;
    PyObject* const* values_;
};

using Body = Ref (*)(const Args&);

struct Signature {
    const char* name;
    std::vector<Param> params;
    Body body;
    const char* returns = nullptr;  // return annotation string, if any
    const char* doc = nullptr;
    // What a body shared by several functions reads to tell them apart (Args::data).
    const void* data = nullptr;
};

inline constexpr size_t max_params = 8;

struct Function {
    PyObject_HEAD vectorcallfunc vectorcall;
    const Signature* sig;
    Py_ssize_t required;             // number of parameters without a default
    PyObject* names[max_params];     // interned parameter names
    PyObject* defaults[max_params];  // default values (NULL where required)
    PyObject* name;
    PyObject* qualname;
    PyObject* module;  // __module__ (the module's name)
    PyObject* doc;
    PyObject* globals;  // the defining module's dict
    PyObject* dict;
    PyObject* annotations;  // built lazily
    PyObject* signature;    // built lazily
};

inline size_t Args::size() const noexcept { return fn_->sig->params.size(); }
inline const void* Args::raw_data() const noexcept { return fn_->sig->data; }

// Makes a function object. qualname is "Class.name" for methods, the name otherwise.
Ref make_function(const Signature& sig, PyObject* module_name, PyObject* globals, const char* qualname = nullptr);

}  // namespace velmo::rt
