// results_handle: checks the statement's result type against the requested return type, then
// turns row dicts into result-class instances, scalars, the rows themselves or one value.
//
// Every global the function reads (len, list, dict, next, iter, Dict, List, get_args and the
// wollix helpers) is looked up when the Python code would look it up. The per-row loops are
// native: result classes are called with the row's items as keywords as `cls(**row)` calls
// them, and the first value of a plain dict row is read directly while `next` and `iter` are
// the builtins.
#include "brannow.hpp"

using namespace velmo::rt;

namespace velmo::brannow {

namespace {

// `name(arg)` through the module global, tested for truth.
bool test(PyObject* name, PyObject* arg) {
    Ref fn = load_global(state.globals, name);
    return truthy(call(fn.get(), {arg}).get());
}

// `value == first or value == second`, the two names read as the expression reads them.
bool equals_either(PyObject* value, PyObject* first, PyObject* second) {
    if (equal(value, load_global(state.globals, first).get())) return true;
    return equal(value, load_global(state.globals, second).get());
}
bool is_dict_type(PyObject* t) { return equals_either(t, state.s_dict, state.s_Dict); }
bool is_list_type(PyObject* t) { return equals_either(t, state.s_list, state.s_List); }

// `value is <global name>`
bool is_global(PyObject* value, PyObject* name) { return value == load_global(state.globals, name).get(); }

// TypeError(head + format(expected, "") + ", resultType: " + format(result_type, ""))
[[noreturn]] void raise_mismatch(const char* head, PyObject* expected, PyObject* result_type) {
    Ref shown = Ref::steal(PyObject_Format(expected, state.s_empty));
    Ref result_shown = Ref::steal(PyObject_Format(result_type, state.s_empty));
    raise_format(PyExc_TypeError, "%s%U, resultType: %U", head, shown.get(), result_shown.get());
}

// len(results) == 0
bool is_empty(PyObject* results) {
    Ref len = load_global(state.globals, state.s_len);
    if (len.get() == state.builtin_len) {
        Py_ssize_t n = PyObject_Size(results);
        if (n < 0) throw_error();
        return n == 0;
    }
    Ref n = call(len.get(), {results});
    return equal(n.get(), state.zero);
}

// Step 4: the result type must agree with the return type.
void check_agreement(PyObject* result_type, PyObject* f_return_type, PyObject* return_type) {
    if (is_dict_type(return_type)) {
        bool refused;
        if (!test(state.s_is_container_type, result_type) && !test(state.s_is_result_class, result_type))
            refused = true;
        else
            refused = test(state.s_is_container_type, result_type) &&
                      equal(result_type, load_global(state.globals, state.s_dict).get(), Py_NE) &&
                      equal(result_type, load_global(state.globals, state.s_Dict).get(), Py_NE);
        if (refused) raise_mismatch("please check return_type: ", return_type, result_type);
    } else if (is_list_type(return_type)) {
        if (!truthy(result_type)) return;
        Ref get_args = load_global(state.globals, state.s_get_args);
        Ref args = call(get_args.get(), {f_return_type});
        if (!truthy(args.get())) return;
        Ref element = Ref::steal(PyObject_GetItem(args.get(), state.zero));
        if (result_type != element.get())
            raise_mismatch("please check return_result_type: ", element.get(), result_type);
    } else if (!test(state.s_is_container_type, return_type) && result_type != return_type) {
        raise_mismatch("please check return_type: ", return_type, result_type);
    }
}

// next(iter(row.values())) per row. A plain dict row runs no code of its own, so the builtins
// found for one such row stay valid for the next; any other row is read through the lookups.
class FirstValue {
public:
    Ref operator()(PyObject* row) {
        if (PyDict_CheckExact(row)) {
            if (!known_) {
                builtins_ = load_global(state.globals, state.s_next).get() == state.builtin_next &&
                            load_global(state.globals, state.s_iter).get() == state.builtin_iter;
                known_ = true;
            }
            if (builtins_) {
                Py_ssize_t pos = 0;
                PyObject *key, *value;
                if (PyDict_Next(row, &pos, &key, &value)) return Ref::borrow(value);
                PyErr_SetNone(PyExc_StopIteration);
                throw_error();
            }
        }
        known_ = false;
        Ref next = load_global(state.globals, state.s_next);
        Ref iter = load_global(state.globals, state.s_iter);
        Ref values = call_method(row, state.s_values);
        Ref it = call(iter.get(), {values.get()});
        return call(next.get(), {it.get()});
    }

private:
    bool known_ = false;
    bool builtins_ = false;
};

// result_type(**row) for each row. A plain dict row goes to the call as it is when the class is
// called the ordinary way (type.__call__, object.__new__) and its __init__ is a Python function:
// the call then unpacks the dict into keywords itself, so the copy that `**row` makes could
// never be seen. The class and its metaclass are watched, as a row's __init__ may change either.
class Construct {
public:
    explicit Construct(PyObject* cls) : cls_(cls) {}

    Ref operator()(PyObject* row) {
        if (PyDict_CheckExact(row) && direct()) return Ref::steal(PyObject_Call(cls_, state.empty_tuple, row));
        return call_with_mapping(cls_, row);
    }

private:
    bool direct() {
        if (!PyType_Check(cls_)) return false;
        return meta_.holds(Py_TYPE(cls_), [](PyTypeObject* meta) { return meta->tp_call == PyType_Type.tp_call; }) &&
               class_.holds(reinterpret_cast<PyTypeObject*>(cls_), [](PyTypeObject* type) {
                   if (type->tp_new != PyBaseObject_Type.tp_new || type->tp_init != state.python_init) return false;
                   PyObject* init = internals::type_lookup(type, state.s_init);
                   return init && PyFunction_Check(init);
               });
    }

    PyObject* cls_;
    TypeWatch meta_, class_;
};

// [make(row) for row in results]
template <class F>
Ref map_rows(PyObject* results, F&& make) {
    Ref out = Ref::steal(PyList_New(0));
    for_each(results, [&](PyObject* row) { check(PyList_Append(out.get(), make(row).get())); });
    return out;
}

// Step 6: the shaped value.
Ref shape(PyObject* results, PyObject* result_type, PyObject* return_type) {
    if (is_list_type(return_type)) {
        if (is_global(result_type, state.s_dict)) return Ref::borrow(results);
        if (test(state.s_is_result_class, result_type)) return map_rows(results, Construct(result_type));
        return map_rows(results, FirstValue{});
    }
    if (is_global(result_type, state.s_dict)) return Ref::steal(PyObject_GetItem(results, state.zero));
    if (test(state.s_is_result_class, return_type)) {
        Ref first = Ref::steal(PyObject_GetItem(results, state.zero));
        return Construct(result_type)(first.get());
    }
    Ref first = Ref::steal(PyObject_GetItem(results, state.zero));
    return FirstValue{}(first.get());
}

}  // namespace

Ref results_handle(PyObject* results, PyObject* result_type, PyObject* f_return_type) {
    NestingGuard guard;
    if (is_empty(results)) return Ref::borrow(results);
    Ref requested = f_return_type == Py_None ? load_global(state.globals, state.s_list) : Ref::borrow(f_return_type);
    Ref get_base_type = load_global(state.globals, state.s_get_base_type);
    Ref return_type = call(get_base_type.get(), {requested.get()});
    check_agreement(result_type, requested.get(), return_type.get());
    if (is_global(result_type, state.s_list) || is_global(result_type, state.s_List))
        raise(PyExc_TypeError, "please check result type");
    return shape(results, result_type, return_type.get());
}

Ref results_handle_fn(const Args& a) { return results_handle(a[0], a[1], a[2]); }

}  // namespace velmo::brannow
