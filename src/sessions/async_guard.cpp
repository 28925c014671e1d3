// The asyncio refusal: a subclass test against sqlalchemy.ext.asyncio's classes, made only when
// that module has been imported (no object of its classes can exist before).
#include "async_guard.hpp"

namespace velmo::sessions {

using namespace velmo::rt;

namespace {

// The last type found synchronous (owned). A class cannot become a subclass of an asyncio class
// later without its bases being replaced, which nothing does.
PyTypeObject* known_sync = nullptr;

// The name of the asyncio class that `type` derives from, or NULL.
const char* async_class_of(PyTypeObject* type) {
    Ref module = Ref::steal_or_null(PyImport_GetModule(str("sqlalchemy.ext.asyncio").get()));
    if (!module) {
        if (PyErr_Occurred()) throw_error();
        return nullptr;
    }
    for (const char* name : {"AsyncEngine", "AsyncConnection", "AsyncSession"}) {
        Ref cls = getattr_optional(module.get(), str(name).get());
        if (cls && PyType_Check(cls.get()) && PyType_IsSubtype(type, reinterpret_cast<PyTypeObject*>(cls.get())))
            return name;
    }
    return nullptr;
}

}  // namespace

void refuse_async(PyObject* obj, const char* who, const char* wanted) {
    PyTypeObject* type = Py_TYPE(obj);
    if (type == known_sync) return;
    if (const char* found = async_class_of(type))
        raise_format(PyExc_TypeError,
                     "%s needs a synchronous %s, not an %s: use velmo.db.aio.AsyncVelmoSqlSession for asyncio", who,
                     wanted, found);
    Py_INCREF(type);
    Py_XSETREF(known_sync, type);
}

}  // namespace velmo::sessions
