// `for item in iterable:` with the interpreter's semantics.
#pragma once

#include <type_traits>

#include "ref.hpp"

namespace velmo::rt {

// Calls f(item) (a borrowed item, kept alive for the call) for each item of `iterable`; when f
// returns bool, false ends the loop as `break` does. An exact list is walked by index, re-reading
// its size at every step as the list iterator does; any other object through its iterator, with
// an error of the iteration itself raised after the loop.
template <class F>
void for_each(PyObject* iterable, F&& f) {
    auto step = [&](PyObject* item) {
        if constexpr (std::is_same_v<decltype(f(item)), bool>)
            return f(item);
        else
            return f(item), true;
    };
    if (PyList_CheckExact(iterable)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(iterable); ++i) {
            Ref item = Ref::borrow(PyList_GET_ITEM(iterable, i));
            if (!step(item.get())) return;
        }
        return;
    }
    Ref it = Ref::steal(PyObject_GetIter(iterable));
    while (Ref item = Ref::steal_or_null(PyIter_Next(it.get())))
        if (!step(item.get())) return;
    if (PyErr_Occurred()) throw_error();
}

}  // namespace velmo::rt
