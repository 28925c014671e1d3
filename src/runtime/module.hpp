// Module initialisation and the module builder.
//
// Every module uses multi-phase init through VELMO_MODULE. The create slot refuses a second
// interpreter; the exec slot refuses a second initialisation. The builder adds names to the
// module in the order the module's code calls it, so the module's namespace reads like a
// Python module's.
#pragma once

#include <condition_variable>
#include <initializer_list>
#include <mutex>

#include "function.hpp"

namespace velmo::rt {

class Module;
using ExecFn = void (*)(Module&);

// Which interpreter owns a module. It is recorded only once the module's initialisation has
// succeeded, so that a failed import (in a subinterpreter, say) leaves the module free for the
// next interpreter; while one interpreter initialises, another waits for the outcome.
struct ModuleGuard {
    explicit ModuleGuard(const char* name) : short_name(name) {}
    const char* short_name;
    std::mutex lock;
    std::condition_variable settled;  // signalled when an initialisation ends
    int64_t owner = -1;               // the interpreter that initialised the module
    int64_t initialising = -1;        // the interpreter running exec now
    PyObject* module = nullptr;       // the initialised module (kept for the process)
};

PyObject* guarded_create(ModuleGuard& guard, PyObject* spec, PyModuleDef* def) noexcept;
int guarded_exec(ModuleGuard& guard, PyObject* module, ExecFn exec) noexcept;

enum class Kind : uint8_t { Method, Static };

struct Member {
    const Signature* sig;
    Kind kind = Kind::Method;
    const char* key = nullptr;  // the class dict key when it differs from the name (mangled names)
};

class Module {
public:
    explicit Module(PyObject* module);

    PyObject* object() const noexcept { return module_; }
    PyObject* dict() const noexcept { return dict_; }
    PyObject* name() const noexcept { return name_.get(); }

    // name = value in the module's namespace; returns value.
    PyObject* add(const char* name, Ref value);
    // import module [as name]
    Ref import(const char* module, const char* as = nullptr);
    // from module import names...
    void from_import(const char* module, std::initializer_list<const char*> names);
    // from module import *
    void star_import(const char* module);
    // def name(...): a module-level function.
    PyObject* def(const Signature& sig);
    // class name(base): ... with the given methods in class-body order. `body` holds further
    // class-body entries (annotations, field defaults) placed before the methods; without a base
    // the class derives from object.
    PyObject* def_class(const char* name, std::initializer_list<Member> members, PyObject* body = nullptr,
                        PyObject* base = nullptr);
    // A function object with this module's name and globals, not added to the namespace.
    Ref function(const Signature& sig, const char* qualname = nullptr) const;

private:
    PyObject* module_;
    PyObject* dict_;
    Ref name_;
};

}  // namespace velmo::rt

// Defines PyInit_<SHORT> for the module FULL_NAME whose namespace EXEC builds.
// clang-format off
#define VELMO_MODULE(SHORT, FULL_NAME, EXEC)                                                                          \
    static ::velmo::rt::ModuleGuard SHORT##_guard{#SHORT};                                                            \
    static PyObject* SHORT##_create(PyObject* spec, PyModuleDef* def) {                                               \
        return ::velmo::rt::guarded_create(SHORT##_guard, spec, def);                                                 \
    }                                                                                                                 \
    static int SHORT##_exec(PyObject* m) {                                                                            \
        return ::velmo::rt::guarded_exec(SHORT##_guard, m, EXEC);                                                     \
    }                                                                                                                 \
    static PyModuleDef_Slot SHORT##_slots[] = {                                                                       \
        {Py_mod_create, reinterpret_cast<void*>(SHORT##_create)},                                                     \
        {Py_mod_exec, reinterpret_cast<void*>(SHORT##_exec)},                                                         \
        {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},                                         \
        {0, nullptr}};                                                                                                \
    static PyModuleDef SHORT##_def = {                                                                                \
        PyModuleDef_HEAD_INIT, FULL_NAME, nullptr, 0, nullptr, SHORT##_slots,                                         \
        nullptr, nullptr, nullptr};                                                                                   \
    PyMODINIT_FUNC PyInit_##SHORT(void) { return PyModuleDef_Init(&SHORT##_def); }
// clang-format on
