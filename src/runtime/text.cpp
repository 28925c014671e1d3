// str helpers (see text.hpp).
#include "text.hpp"

#include <cstring>

namespace velmo::rt {

bool str_equal(PyObject* a, PyObject* b) noexcept {
    if (a == b) return true;
    Py_ssize_t n = PyUnicode_GET_LENGTH(a);
    if (n != PyUnicode_GET_LENGTH(b) || PyUnicode_KIND(a) != PyUnicode_KIND(b)) return false;
    return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<size_t>(n) * PyUnicode_KIND(a)) == 0;
}

bool equal(PyObject* a, PyObject* b, int op) {
    if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b)) return str_equal(a, b) == (op == Py_EQ);
    Ref r = Ref::steal(PyObject_RichCompare(a, b, op));
    return truthy(r.get());
}

void strip_range(PyObject* s, Py_ssize_t& b, Py_ssize_t& e) noexcept {
    int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    while (b < e && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, b))) ++b;
    while (e > b && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, e - 1))) --e;
}

Ref strip(PyObject* s) {
    Py_ssize_t b = 0, e = PyUnicode_GET_LENGTH(s);
    strip_range(s, b, e);
    return Ref::steal(PyUnicode_Substring(s, b, e));
}

Ref concat(PyObject* a, PyObject* b) {
    if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b)) return Ref::steal(PyUnicode_Concat(a, b));
    return Ref::steal(PyNumber_Add(a, b));
}

}  // namespace velmo::rt
