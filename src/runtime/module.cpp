// Module init guards and the module builder.
#include "module.hpp"

#include <string>

#include "boundary.hpp"

namespace velmo::rt {

namespace {

int64_t current_interpreter() { return PyInterpreterState_GetID(PyInterpreterState_Get()); }

void refuse_interpreter_change() {
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one "
                    "interpreter per process.");
}

void refuse_second_initialisation(const ModuleGuard& guard) {
    PyErr_Format(PyExc_ImportError, "Module '%s' has already been imported. Re-initialisation is not supported.",
                 guard.short_name);
}

enum class Claim { Run, AlreadyDone, OtherInterpreter, Again };

// Decides what exec does with `module` in interpreter `current`; Run marks this interpreter as
// the one initialising. Waits, without holding this interpreter's GIL, while another
// interpreter initialises (whose GIL may be ours too).
Claim claim(ModuleGuard& guard, int64_t current, PyObject* module) {
    for (;;) {
        {
            std::lock_guard hold(guard.lock);
            if (guard.module) {
                if (guard.owner != current) return Claim::OtherInterpreter;
                return guard.module == module ? Claim::AlreadyDone : Claim::Again;
            }
            if (guard.initialising == current) return Claim::Again;
            if (guard.initialising == -1) {
                guard.initialising = current;
                return Claim::Run;
            }
        }
        Py_BEGIN_ALLOW_THREADS {
            std::unique_lock hold(guard.lock);
            guard.settled.wait(hold, [&] { return guard.initialising == -1; });
        }
        Py_END_ALLOW_THREADS
    }
}

}  // namespace

PyObject* guarded_create(ModuleGuard& guard, PyObject* spec, PyModuleDef*) noexcept {
    int64_t current = current_interpreter();
    if (current == -1) return nullptr;
    int64_t owner;
    {
        std::lock_guard hold(guard.lock);
        owner = guard.owner;
    }
    if (owner != -1 && owner != current) {
        refuse_interpreter_change();
        return nullptr;
    }
    // A new module object every time, so that exec can tell a second initialisation apart.
    return entry_point([&]() -> Ref {
        Ref name = getattr(spec, "name");
        return Ref::steal(PyModule_NewObject(name.get()));
    });
}

int guarded_exec(ModuleGuard& guard, PyObject* module, ExecFn exec) noexcept {
    int64_t current = current_interpreter();
    if (current == -1) return -1;
    switch (claim(guard, current, module)) {
        case Claim::AlreadyDone: return 0;
        case Claim::OtherInterpreter: refuse_interpreter_change(); return -1;
        case Claim::Again: refuse_second_initialisation(guard); return -1;
        case Claim::Run: break;
    }
    int rc = entry_point_status([&] {
        Module m(module);
        exec(m);
    });
    {
        std::lock_guard hold(guard.lock);
        if (rc == 0) {
            guard.module = Py_NewRef(module);
            guard.owner = current;
        }
        guard.initialising = -1;
    }
    guard.settled.notify_all();
    return rc;
}

Module::Module(PyObject* module)
    : module_(module), dict_(check(PyModule_GetDict(module))), name_(Ref::steal(PyModule_GetNameObject(module))) {}

PyObject* Module::add(const char* name, Ref value) {
    dict_set(dict_, name, value.get());
    return value.get();  // the module's dict keeps it alive
}

Ref Module::import(const char* module, const char* as) {
    Ref m = Ref::steal(PyImport_ImportModule(module));
    std::string bound(as ? as : module);
    if (!as && bound.find('.') != std::string::npos) {
        // `import a.b` binds the top-level package.
        bound.resize(bound.find('.'));
        add(bound.c_str(), Ref::steal(PyImport_ImportModule(bound.c_str())));
        return m;
    }
    add(bound.c_str(), m);
    return m;
}

void Module::from_import(const char* module, std::initializer_list<const char*> names) {
    Ref fromlist = Ref::steal(PyList_New(0));
    for (const char* n : names) check(PyList_Append(fromlist.get(), str(n).get()));
    Ref m = Ref::steal(PyImport_ImportModuleLevel(module, dict_, nullptr, fromlist.get(), 0));
    for (const char* n : names) {
        Ref v = getattr_optional(m.get(), str(n).get());
        if (!v) raise_format(PyExc_ImportError, "cannot import name '%s' from '%s'", n, module);
        add(n, v);
    }
}

void Module::star_import(const char* module) {
    Ref fromlist = Ref::steal(Py_BuildValue("[s]", "*"));
    Ref m = Ref::steal(PyImport_ImportModuleLevel(module, dict_, nullptr, fromlist.get(), 0));
    Ref all = getattr_optional(m.get(), str("__all__").get());
    if (all) {
        Ref it = Ref::steal(PyObject_GetIter(all.get()));
        while (Ref n = Ref::steal_or_null(PyIter_Next(it.get()))) {
            Ref v = getattr(m.get(), n.get());
            dict_set(dict_, n.get(), v.get());
        }
        if (PyErr_Occurred()) throw_error();
        return;
    }
    PyObject* src = check(PyModule_GetDict(m.get()));
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(src, &pos, &key, &value)) {
        if (!PyUnicode_Check(key) || PyUnicode_READ_CHAR(key, 0) == '_') continue;
        dict_set(dict_, key, value);
    }
}

Ref Module::function(const Signature& sig, const char* qualname) const {
    return make_function(sig, name_.get(), dict_, qualname);
}

PyObject* Module::def(const Signature& sig) { return add(sig.name, function(sig)); }

PyObject* Module::def_class(const char* name, std::initializer_list<Member> members, PyObject* body, PyObject* base) {
    Ref ns = Ref::steal(PyDict_New());
    dict_set(ns.get(), "__module__", name_.get());
    dict_set(ns.get(), "__qualname__", str(name).get());
    if (body) check(PyDict_Update(ns.get(), body));
    for (const Member& m : members) {
        std::string qualname = std::string(name) + "." + m.sig->name;
        Ref fn = function(*m.sig, qualname.c_str());
        if (m.kind == Kind::Static) fn = Ref::steal(PyStaticMethod_New(fn.get()));
        dict_set(ns.get(), m.key ? m.key : m.sig->name, fn.get());
    }
    Ref bases = tuple({base ? base : reinterpret_cast<PyObject*>(&PyBaseObject_Type)});
    Ref cls = call(reinterpret_cast<PyObject*>(&PyType_Type), {str(name).get(), bases.get(), ns.get()});
    return add(name, cls);
}

}  // namespace velmo::rt
