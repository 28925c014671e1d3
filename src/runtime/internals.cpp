// The private and unstable CPython API, used only through this file (see internals.hpp).
#include "internals.hpp"

namespace velmo::rt::internals {

PyObject* type_lookup(PyTypeObject* type, PyObject* name) noexcept { return _PyType_Lookup(type, name); }

PyObject** instance_dict_slot(PyObject* obj) noexcept { return _PyObject_GetDictPtr(obj); }

unsigned int type_version(PyTypeObject* type) noexcept {
    return PyUnstable_Type_AssignVersionTag(type) ? type->tp_version_tag : 0;
}

Ref function_str(PyObject* callable) { return Ref::steal(_PyObject_FunctionStr(callable)); }

getter getset_getter(PyObject* descr, void** closure) noexcept {
    if (!Py_IS_TYPE(descr, &PyGetSetDescr_Type)) return nullptr;
    PyGetSetDef* def = reinterpret_cast<PyGetSetDescrObject*>(descr)->d_getset;
    *closure = def->closure;
    return def->get;
}

}  // namespace velmo::rt::internals
