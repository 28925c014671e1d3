// Work on str buffers shared by the modules: kind dispatch, equality, strip and `+`.
#pragma once

#include "ref.hpp"

namespace velmo::rt {

// f(data, length) with data typed by the str's kind (Py_UCS1, Py_UCS2 or Py_UCS4).
template <class F>
decltype(auto) visit_text(PyObject* s, F&& f) {
    const void* data = PyUnicode_DATA(s);
    Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    switch (PyUnicode_KIND(s)) {
        case PyUnicode_1BYTE_KIND: return f(static_cast<const Py_UCS1*>(data), n);
        case PyUnicode_2BYTE_KIND: return f(static_cast<const Py_UCS2*>(data), n);
        default: return f(static_cast<const Py_UCS4*>(data), n);
    }
}

// Whether two strs hold the same characters (by content, without the comparison protocol).
bool str_equal(PyObject* a, PyObject* b) noexcept;

// `a == b` (op Py_EQ) or `a != b` (op Py_NE) as Python evaluates it, tested for truth. Two exact
// strs are compared by content, without the comparison protocol.
bool equal(PyObject* a, PyObject* b, int op = Py_EQ);

// The range [b, e) of s narrowed as str.strip() narrows it (Unicode whitespace at both ends).
void strip_range(PyObject* s, Py_ssize_t& b, Py_ssize_t& e) noexcept;

// s.strip() for a str: the same object when nothing is stripped (an exact str).
Ref strip(PyObject* s);

// a + b with Python's semantics; two exact strs are joined without the number protocol.
Ref concat(PyObject* a, PyObject* b);

}  // namespace velmo::rt
