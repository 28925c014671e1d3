// velmo.utils.wollix: resolving result-type names and telling container and result classes apart.
//
// The functions read the module's globals (builtins, import_module, get_origin, is_dataclass,
// BaseModel, DeclarativeBase) at call time, as module-level Python code would, so a rebinding
// of those names is honoured and their errors are the ones the caller sees.
#include <string_view>

#include "../runtime/rt.hpp"

#include "docs.inc"  // module_docs, from the stub

using namespace velmo::rt;

namespace {

// clang-format off
#define WOLLIX_NAMES(X)                                                                                               \
    X(builtins, "builtins") X(import_module, "import_module") X(get_origin, "get_origin")                             \
    X(is_dataclass, "is_dataclass") X(BaseModel, "BaseModel") X(DeclarativeBase, "DeclarativeBase")
// clang-format on
VELMO_NAMES(Names, WOLLIX_NAMES)

struct State : Names {
    PyObject* containers;  // (list, tuple, dict, set)
    PyObject* import_error_prefix;
    PyObject* unknown_type_prefix;
    PyObject* colon;
};
State state;

// getattr(builtins, type_str, None)
Ref builtin_attribute(const Args& a, PyObject* type_str) {
    Ref builtins = load_global(a.globals(), state.s_builtins);
    return getattr_optional(builtins.get(), type_str);
}

bool is_class(PyObject* o) { return o && PyType_Check(o); }

bool is_container(PyObject* cls) { return check(PyObject_IsSubclass(cls, state.containers)) != 0; }

Ref is_container_type_by_str_fn(const Args& a) {
    PyObject* type_str = a[0];
    Ref type_obj = builtin_attribute(a, type_str);
    if (!type_obj || !truthy(type_obj.get())) type_obj = dict_get(a.globals(), type_str);
    if (!is_class(type_obj.get()) || type_obj.get() == Py_None) return boolean(false);
    return boolean(is_container(type_obj.get()));
}

// module_path.class_name imported through import_module; the ImportError / AttributeError of
// either step becomes the "无法导入类型" ValueError. The two ValueErrors keep their messages and
// carry a note in English.
Ref import_dotted(const Args& a, PyObject* type_str, Py_ssize_t dot) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(type_str);
    Ref module_path = Ref::steal(PyUnicode_Substring(type_str, 0, dot));
    Ref class_name = Ref::steal(PyUnicode_Substring(type_str, dot + 1, n));
    Ref import_module = load_global(a.globals(), state.s_import_module);
    try {
        Ref module = call(import_module.get(), {module_path.get()});
        return getattr(module.get(), class_name.get());
    } catch (const PyErrorSet&) {
    }
    Ref caught = Ref::steal(PyErr_GetRaisedException());
    if (!PyErr_GivenExceptionMatches(caught.get(), PyExc_ImportError) &&
        !PyErr_GivenExceptionMatches(caught.get(), PyExc_AttributeError))
        reraise(std::move(caught));
    // Raised as inside the except block: what is raised now has the caught error as __context__.
    HandlingScope handling(caught.get());
    Ref text = Ref::steal(PyObject_Str(caught.get()));
    Ref message = concat(concat(concat(state.import_error_prefix, type_str).get(), state.colon).get(), text.get());
    PyErr_SetObject(PyExc_ValueError, message.get());
    note_error([&](PyObject*) {
        return Ref::steal(PyUnicode_FromFormat("cannot import result type %R: %S", type_str, text.get()));
    });
    throw_error();
}

Ref get_type_from_string_fn(const Args& a) {
    PyObject* type_str = a[0];
    Ref builtin_type = builtin_attribute(a, type_str);
    if (is_class(builtin_type.get())) return builtin_type;
    Ref global_type = dict_get(a.globals(), type_str);
    if (is_class(global_type.get())) return global_type;
    Py_ssize_t n = PyUnicode_GET_LENGTH(type_str);
    Py_ssize_t dot = PyUnicode_FindChar(type_str, '.', 0, n, -1);
    if (dot == -2) throw_error();
    if (dot >= 0) {
        Ref type_obj = import_dotted(a, type_str, dot);
        if (is_class(type_obj.get())) return type_obj;
    }
    PyErr_SetObject(PyExc_ValueError, Ref::steal(PyUnicode_Concat(state.unknown_type_prefix, type_str)).get());
    note_error([&](PyObject*) {
        return Ref::steal(
            PyUnicode_FromFormat("unknown result type %R: neither a builtin name nor module.Class", type_str));
    });
    throw_error();
}

// get_origin(obj) if that is truthy, else obj.
Ref origin_or_self(const Args& a, PyObject* obj) {
    Ref get_origin = load_global(a.globals(), state.s_get_origin);
    Ref origin = call(get_origin.get(), {obj});
    if (truthy(origin.get())) return origin;
    return Ref::borrow(obj);
}

Ref is_container_type_fn(const Args& a) {
    Ref origin = origin_or_self(a, a[0]);
    return boolean(is_container(origin.get()));
}

Ref get_base_type_fn(const Args& a) { return origin_or_self(a, a[0]); }

Ref is_result_class_fn(const Args& a) {
    PyObject* data_type = a[0];
    Ref base_model = load_global(a.globals(), state.s_BaseModel);
    if (check(PyObject_IsSubclass(data_type, base_model.get()))) return boolean(true);
    Ref is_dataclass = load_global(a.globals(), state.s_is_dataclass);
    if (truthy(call(is_dataclass.get(), {data_type}).get())) return boolean(true);
    Ref declarative_base = load_global(a.globals(), state.s_DeclarativeBase);
    return boolean(check(PyObject_IsSubclass(data_type, declarative_base.get())) != 0);
}

const Signature is_container_type_by_str_sig{"is_container_type_by_str",
                                             {{"type_str", Default::Required, Exact::Str, "str"}},
                                             is_container_type_by_str_fn,
                                             "bool"};
const Signature get_type_from_string_sig{
    "get_type_from_string", {{"type_str", Default::Required, Exact::Str, "str"}}, get_type_from_string_fn};
const Signature is_container_type_sig{"is_container_type", {{"type_obj"}}, is_container_type_fn, "bool"};
const Signature get_base_type_sig{"get_base_type", {{"generic_type"}}, get_base_type_fn};
const Signature is_result_class_sig{"is_result_class", {{"data_type"}}, is_result_class_fn};

void exec_wollix(Module& m) {
    state = {};  // nothing left over from an initialisation that failed
    state.intern();
    m.from_import("collections.abc", {"Container", "Iterable"});
    m.import("builtins");
    m.from_import("dataclasses", {"is_dataclass"});
    m.from_import("importlib", {"import_module"});
    m.from_import("typing", {"get_origin", "List"});
    m.from_import("pydantic", {"BaseModel"});
    m.from_import("sqlalchemy.orm", {"DeclarativeBase"});

    state.containers = tuple({reinterpret_cast<PyObject*>(&PyList_Type), reinterpret_cast<PyObject*>(&PyTuple_Type),
                              reinterpret_cast<PyObject*>(&PyDict_Type), reinterpret_cast<PyObject*>(&PySet_Type)})
                           .release();
    state.import_error_prefix = str("无法导入类型 ").release();
    state.unknown_type_prefix = str("未知的类型: ").release();
    state.colon = str(": ").release();

    m.def(is_container_type_by_str_sig);
    m.def(get_type_from_string_sig);
    m.def(is_container_type_sig);
    m.def(get_base_type_sig);
    m.def(is_result_class_sig);
    apply_docs(m, module_docs);
}

}  // namespace

VELMO_MODULE(wollix, "velmo.utils.wollix", exec_wollix)
