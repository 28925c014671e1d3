// The function object type and its argument binder.
#include "function.hpp"

#include <cstring>
#include <exception>
#include <new>

#include "boundary.hpp"

namespace velmo::rt {

PyObject* Args::globals() const noexcept { return fn_->globals; }

namespace {

// "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", with exactly / at least / at most.
[[noreturn]] void raise_positional_count(const Function* fn, Py_ssize_t found) {
    Py_ssize_t min = fn->required;
    Py_ssize_t max = static_cast<Py_ssize_t>(fn->sig->params.size());
    Py_ssize_t expected = found < min ? min : max;
    const char* how = min == max ? "exactly" : (found < min ? "at least" : "at most");
    raise_format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", fn->sig->name, how,
                 expected, expected == 1 ? "" : "s", found);
}

bool same_name(PyObject* a, PyObject* b) {
    if (a == b) return true;
    return PyUnicode_Check(b) && PyUnicode_GET_LENGTH(a) == PyUnicode_GET_LENGTH(b) && PyUnicode_Compare(a, b) == 0;
}

// The value passed under keyword `name`, or NULL.
PyObject* keyword_value(PyObject* name, PyObject* kwnames, PyObject* const* kwvalues) {
    Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t j = 0; j < n; ++j)
        if (PyTuple_GET_ITEM(kwnames, j) == name) return kwvalues[j];
    for (Py_ssize_t j = 0; j < n; ++j)
        if (same_name(name, PyTuple_GET_ITEM(kwnames, j))) return kwvalues[j];
    return nullptr;
}

// Reports the first keyword that names no parameter or one already given by position.
[[noreturn]] void raise_bad_keyword(const Function* fn, Py_ssize_t nargs, PyObject* kwnames) {
    Py_ssize_t np = static_cast<Py_ssize_t>(fn->sig->params.size());
    for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(kwnames); ++j) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, j);
        Py_ssize_t index = -1;
        for (Py_ssize_t i = 0; i < np && index < 0; ++i)
            if (same_name(fn->names[i], key)) index = i;
        if (index < 0)
            raise_format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fn->sig->name, key);
        if (index < nargs)
            raise_format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", fn->sig->name, key);
    }
    raise(PyExc_SystemError, "keyword binding failed");
}

PyTypeObject* exact_type(Exact e) {
    switch (e) {
        case Exact::Str: return &PyUnicode_Type;
        case Exact::Dict: return &PyDict_Type;
        case Exact::List: return &PyList_Type;
        case Exact::Set: return &PySet_Type;
        case Exact::Int: return &PyLong_Type;
        case Exact::Any: break;
    }
    return nullptr;
}

void check_types(const Function* fn, PyObject* const* values) {
    const auto& params = fn->sig->params;
    for (size_t i = 0; i < params.size(); ++i) {
        PyTypeObject* t = exact_type(params[i].exact);
        if (!t || Py_IS_TYPE(values[i], t)) continue;
        if (values[i] == Py_None && params[i].fallback == Default::None) continue;
        raise_argument_type(params[i].name, t->tp_name, values[i]);
    }
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    auto* fn = reinterpret_cast<Function*>(self);
    return entry_point([&]() -> Ref {
        Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
        Py_ssize_t np = static_cast<Py_ssize_t>(fn->sig->params.size());
        PyObject* values[max_params] = {};
        if (nargs > np) raise_positional_count(fn, nargs);
        for (Py_ssize_t i = 0; i < nargs; ++i) values[i] = args[i];
        Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
        if (nkw) {
            Py_ssize_t left = nkw;
            for (Py_ssize_t i = nargs; i < np; ++i) {
                if (left == 0 && i >= fn->required) break;
                PyObject* v = keyword_value(fn->names[i], kwnames, args + nargs);
                if (v) {
                    values[i] = v;
                    --left;
                } else if (i < fn->required) {
                    raise_positional_count(fn, i);
                }
            }
            if (left > 0) raise_bad_keyword(fn, nargs, kwnames);
        } else if (nargs < fn->required) {
            raise_positional_count(fn, nargs);
        }
        for (Py_ssize_t i = 0; i < np; ++i)
            if (!values[i]) values[i] = fn->defaults[i];
        check_types(fn, values);
        return fn->sig->body(Args(fn, values));
    });
}

Ref default_value(const Param& p) {
    switch (p.fallback) {
        case Default::None: return none();
        case Default::False: return boolean(false);
        case Default::Str: return str(p.str_default);
        case Default::Required: break;
    }
    return {};
}

Ref build_annotations(const Function* fn) {
    Ref d = Ref::steal(PyDict_New());
    for (const Param& p : fn->sig->params)
        if (p.annotation) dict_set(d.get(), p.name, str(p.annotation).get());
    if (fn->sig->returns) dict_set(d.get(), "return", str(fn->sig->returns).get());
    return d;
}

Ref build_signature(const Function* fn) {
    Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
    Ref parameter = getattr(inspect.get(), "Parameter");
    Ref signature = getattr(inspect.get(), "Signature");
    Ref kind = getattr(parameter.get(), "POSITIONAL_OR_KEYWORD");
    Ref empty = getattr(parameter.get(), "empty");
    Ref kwnames = tuple({interned("default").get(), interned("annotation").get()});
    const auto& params = fn->sig->params;
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(params.size())));
    for (size_t i = 0; i < params.size(); ++i) {
        PyObject* dflt = fn->defaults[i] ? fn->defaults[i] : empty.get();
        Ref ann = params[i].annotation ? str(params[i].annotation) : empty;
        Ref p = call_kw(parameter.get(), {fn->names[i], kind.get(), dflt, ann.get()}, kwnames.get());
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), p.release());
    }
    Ref ret = fn->sig->returns ? str(fn->sig->returns) : getattr(signature.get(), "empty");
    Ref kw = tuple({interned("return_annotation").get()});
    return call_kw(signature.get(), {list.get(), ret.get()}, kw.get());
}

// Getters and setters.

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(reinterpret_cast<Function*>(self)->name); }
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(reinterpret_cast<Function*>(self)->qualname); }

int set_str_field(PyObject*& field, PyObject* value, const char* what) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_SETREF(field, Py_NewRef(value));
    return 0;
}
int set_name(PyObject* self, PyObject* value, void*) {
    return set_str_field(reinterpret_cast<Function*>(self)->name, value, "__name__");
}
int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_str_field(reinterpret_cast<Function*>(self)->qualname, value, "__qualname__");
}

PyObject* get_doc(PyObject* self, void*) { return Py_NewRef(reinterpret_cast<Function*>(self)->doc); }
int set_doc(PyObject* self, PyObject* value, void*) {
    Py_XSETREF(reinterpret_cast<Function*>(self)->doc, Py_NewRef(value ? value : Py_None));
    return 0;
}

PyObject* get_annotations(PyObject* self, void*) {
    auto* fn = reinterpret_cast<Function*>(self);
    return entry_point([&]() -> Ref {
        if (!fn->annotations) fn->annotations = build_annotations(fn).release();
        return Ref::borrow(fn->annotations);
    });
}
int set_annotations(PyObject* self, PyObject* value, void*) {
    if (value && value != Py_None && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(reinterpret_cast<Function*>(self)->annotations, value && value != Py_None ? Py_NewRef(value) : nullptr);
    return 0;
}

PyObject* get_defaults(PyObject* self, void*) {
    auto* fn = reinterpret_cast<Function*>(self);
    return entry_point([&]() -> Ref {
        Py_ssize_t np = static_cast<Py_ssize_t>(fn->sig->params.size());
        if (fn->required == np) return none();
        Ref t = Ref::steal(PyTuple_New(np - fn->required));
        for (Py_ssize_t i = fn->required; i < np; ++i)
            PyTuple_SET_ITEM(t.get(), i - fn->required, Py_NewRef(fn->defaults[i]));
        return t;
    });
}
PyObject* get_kwdefaults(PyObject*, void*) { Py_RETURN_NONE; }
PyObject* get_globals(PyObject* self, void*) { return Py_NewRef(reinterpret_cast<Function*>(self)->globals); }

PyObject* get_signature(PyObject* self, void*) {
    auto* fn = reinterpret_cast<Function*>(self);
    return entry_point([&]() -> Ref {
        if (!fn->signature) fn->signature = build_signature(fn).release();
        return Ref::borrow(fn->signature);
    });
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", Py_T_OBJECT_EX, offsetof(Function, module), 0, nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(Function, vectorcall), Py_READONLY, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(Function, dict), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// Pickles by reference, as module-level functions do.
PyObject* function_reduce(PyObject* self, PyObject*) { return Py_NewRef(reinterpret_cast<Function*>(self)->qualname); }

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* fn = reinterpret_cast<Function*>(self);
    for (size_t i = 0; i < max_params; ++i) Py_VISIT(fn->defaults[i]);
    Py_VISIT(fn->module);
    Py_VISIT(fn->doc);
    Py_VISIT(fn->globals);
    Py_VISIT(fn->dict);
    Py_VISIT(fn->annotations);
    Py_VISIT(fn->signature);
    return 0;
}

int function_clear(PyObject* self) {
    auto* fn = reinterpret_cast<Function*>(self);
    for (size_t i = 0; i < max_params; ++i) {
        Py_CLEAR(fn->defaults[i]);
        Py_CLEAR(fn->names[i]);
    }
    Py_CLEAR(fn->name);
    Py_CLEAR(fn->qualname);
    Py_CLEAR(fn->module);
    Py_CLEAR(fn->doc);
    Py_CLEAR(fn->globals);
    Py_CLEAR(fn->dict);
    Py_CLEAR(fn->annotations);
    Py_CLEAR(fn->signature);
    return 0;
}

void function_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    function_clear(self);
    PyObject_GC_Del(self);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", reinterpret_cast<Function*>(self)->qualname, self);
}

// Binding as a method: obj.f gives a bound method; the class attribute is the function itself.
PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyTypeObject function_type = [] {
    PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
    t.tp_name = "velmo_function";
    t.tp_basicsize = sizeof(Function);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
    t.tp_vectorcall_offset = offsetof(Function, vectorcall);
    t.tp_call = PyVectorcall_Call;
    t.tp_dealloc = function_dealloc;
    t.tp_traverse = function_traverse;
    t.tp_clear = function_clear;
    t.tp_repr = function_repr;
    t.tp_descr_get = function_descr_get;
    t.tp_getset = function_getset;
    t.tp_members = function_members;
    t.tp_methods = function_methods;
    t.tp_dictoffset = offsetof(Function, dict);
    return t;
}();

}  // namespace

Ref make_function(const Signature& sig, PyObject* module_name, PyObject* globals, const char* qualname) {
    if (!(function_type.tp_flags & Py_TPFLAGS_READY)) check(PyType_Ready(&function_type));
    if (sig.params.size() > max_params) raise(PyExc_SystemError, "too many parameters");
    auto* fn = PyObject_GC_New(Function, &function_type);
    if (!fn) throw_error();
    // Zero everything after the header before anything can fail, so dealloc stays sound.
    std::memset(reinterpret_cast<char*>(fn) + sizeof(PyObject), 0, sizeof(Function) - sizeof(PyObject));
    Ref owner = Ref::steal(reinterpret_cast<PyObject*>(fn));
    fn->vectorcall = function_vectorcall;
    fn->sig = &sig;
    fn->required = 0;
    for (size_t i = 0; i < sig.params.size(); ++i) {
        const Param& p = sig.params[i];
        fn->names[i] = interned(p.name).release();
        fn->defaults[i] = default_value(p).release();
        if (p.fallback == Default::Required) fn->required = static_cast<Py_ssize_t>(i) + 1;
    }
    fn->name = interned(sig.name).release();
    fn->qualname = (qualname ? interned(qualname) : Ref::borrow(fn->name)).release();
    fn->module = Py_NewRef(module_name);
    fn->doc = (sig.doc ? str(sig.doc) : none()).release();
    fn->globals = Py_NewRef(globals);
    PyObject_GC_Track(fn);
    return owner;
}

}  // namespace velmo::rt
