// The application's frame: see frames.hpp.
#include "frames.hpp"

namespace velmo::rt {

namespace {

// The directories of the velmo and sqlalchemy packages, each with a trailing separator: a tuple
// made on first use (both are imported by then) and kept.
PyObject* internal_directories = nullptr;

PyObject* internal_prefixes() {
    if (internal_directories) return internal_directories;
    Ref os_path = Ref::steal(PyImport_ImportModule("os.path"));
    Ref dirname = getattr(os_path.get(), "dirname");
    Ref join = getattr(os_path.get(), "join");
    Ref found = Ref::steal(PyList_New(0));
    for (const char* name : {"velmo", "sqlalchemy"}) {
        Ref module = Ref::steal_or_null(PyImport_GetModule(str(name).get()));
        if (!module) {
            if (PyErr_Occurred()) throw_error();
            continue;
        }
        Ref file = getattr_optional(module.get(), interned("__file__").get());
        if (!file || !PyUnicode_Check(file.get())) continue;
        Ref directory = call(dirname.get(), {file.get()});
        Ref empty = str("");
        check(PyList_Append(found.get(), call(join.get(), {directory.get(), empty.get()}).get()));
    }
    internal_directories = check(PyList_AsTuple(found.get()));
    return internal_directories;
}

bool is_internal(PyFrameObject* frame, PyObject* prefixes) {
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(frame)));
    PyObject* filename = reinterpret_cast<PyCodeObject*>(code.get())->co_filename;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(prefixes); ++i)
        if (check(
                static_cast<int>(PyUnicode_Tailmatch(filename, PyTuple_GET_ITEM(prefixes, i), 0, PY_SSIZE_T_MAX, -1))))
            return true;
    return false;
}

// The first frame of the application from `frame` outwards within one greenlet, or empty.
Ref first_outside(Ref frame, PyObject* prefixes) {
    while (frame && is_internal(reinterpret_cast<PyFrameObject*>(frame.get()), prefixes))
        frame = Ref::steal_or_null(
            reinterpret_cast<PyObject*>(PyFrame_GetBack(reinterpret_cast<PyFrameObject*>(frame.get()))));
    return frame;
}

}  // namespace

Ref application_frame() {
    PyObject* prefixes = internal_prefixes();
    Ref found = first_outside(Ref::borrow(reinterpret_cast<PyObject*>(PyEval_GetFrame())), prefixes);
    if (found) return found;
    // greenlet.getcurrent().parent.gr_frame, and so on outwards, while greenlet is imported.
    Ref greenlet = Ref::steal_or_null(PyImport_GetModule(str("greenlet").get()));
    if (!greenlet) {
        if (PyErr_Occurred()) throw_error();
        return {};
    }
    Ref current = call(getattr(greenlet.get(), "getcurrent").get());
    for (;;) {
        Ref parent = getattr(current.get(), "parent");
        if (parent.get() == Py_None) return {};
        Ref frame = getattr(parent.get(), "gr_frame");
        if (frame.get() != Py_None && PyFrame_Check(frame.get()))
            if ((found = first_outside(std::move(frame), prefixes))) return found;
        current = std::move(parent);
    }
}

}  // namespace velmo::rt
