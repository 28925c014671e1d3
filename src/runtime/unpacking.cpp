// Sequence and keyword unpacking as the interpreter performs them.
#include "unpacking.hpp"

#include "internals.hpp"

namespace velmo::rt {

void unpack(PyObject* value, Ref* out, int n) {
    if (n > max_unpack) raise(PyExc_SystemError, "too many unpacking targets");
    if ((PyTuple_CheckExact(value) || PyList_CheckExact(value)) && Py_SIZE(value) == n) {
        for (int i = 0; i < n; ++i)
            out[i] = Ref::borrow(PyTuple_CheckExact(value) ? PyTuple_GET_ITEM(value, i) : PyList_GET_ITEM(value, i));
        return;
    }
    PyObject* it = PyObject_GetIter(value);
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(value)->tp_iter && !PySequence_Check(value)) {
            PyErr_Clear();
            raise_format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(value)->tp_name);
        }
        throw_error();
    }
    Ref iter = Ref::steal(it);
    Ref items[max_unpack];
    for (int i = 0; i < n; ++i) {
        items[i] = Ref::steal_or_null(PyIter_Next(iter.get()));
        if (!items[i]) {
            if (PyErr_Occurred()) throw_error();
            raise_format(PyExc_ValueError, "not enough values to unpack (expected %d, got %d)", n, i);
        }
    }
    if (Ref extra = Ref::steal_or_null(PyIter_Next(iter.get())))
        raise_format(PyExc_ValueError, "too many values to unpack (expected %d)", n);
    if (PyErr_Occurred()) throw_error();
    for (int i = 0; i < n; ++i) out[i] = std::move(items[i]);
}

namespace {

// The call site's merge of `mapping` into the empty dict `target`: a dict iterated the way dict
// iterates is copied as it is; anything else goes through keys() and [] (a key seen twice is a
// KeyError, as for a repeated keyword).
void merge_keywords(PyObject* target, PyObject* mapping) {
    if (PyDict_Check(mapping) && Py_TYPE(mapping)->tp_iter == PyDict_Type.tp_iter) {
        check(PyDict_Merge(target, mapping, 1));
        return;
    }
    Ref keys = Ref::steal(PyMapping_Keys(mapping));
    Ref it = Ref::steal(PyObject_GetIter(keys.get()));
    while (Ref key = Ref::steal_or_null(PyIter_Next(it.get()))) {
        if (check(PyDict_Contains(target, key.get()))) raise_obj(PyExc_KeyError, tuple({key.get()}).get());
        Ref v = Ref::steal(PyObject_GetItem(mapping, key.get()));
        dict_set(target, key.get(), v.get());
    }
    if (PyErr_Occurred()) throw_error();
}

// The interpreter's rewording of a failed merge: an AttributeError means "not a mapping", a
// KeyError with one argument names the repeated keyword; anything else stays as it is.
[[noreturn]] void reword_merge_error(PyObject* callable, PyObject* mapping) {
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        Ref where = internals::function_str(callable);
        raise_format(PyExc_TypeError, "%U argument after ** must be a mapping, not %.200s", where.get(),
                     Py_TYPE(mapping)->tp_name);
    }
    if (PyErr_ExceptionMatches(PyExc_KeyError)) {
        Ref exc = Ref::steal_or_null(PyErr_GetRaisedException());
        Ref args = Ref::steal(PyException_GetArgs(exc.get()));
        if (PyTuple_Check(args.get()) && PyTuple_GET_SIZE(args.get()) == 1) {
            Ref where = internals::function_str(callable);
            raise_format(PyExc_TypeError, "%U got multiple values for keyword argument '%S'", where.get(),
                         PyTuple_GET_ITEM(args.get(), 0));
        }
        PyErr_SetRaisedException(exc.release());
    }
    throw_error();
}

}  // namespace

Ref call_with_mapping(PyObject* callable, PyObject* mapping) {
    Ref kwargs = Ref::steal(PyDict_New());
    try {
        merge_keywords(kwargs.get(), mapping);
    } catch (const PyErrorSet&) {
        reword_merge_error(callable, mapping);
    }
    Ref args = Ref::steal(PyTuple_New(0));
    return Ref::steal(PyObject_Call(callable, args.get(), kwargs.get()));
}

}  // namespace velmo::rt
