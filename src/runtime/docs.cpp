// Docstrings from the stubs: applying a module's table.
#include "docs.hpp"

#include <string>
#include <string_view>

namespace velmo::rt {

namespace {

// obj.__doc__ = text, and the same for the function a staticmethod (__func__) or a decorator's
// wrapper (__wrapped__) holds.
void set_doc(PyObject* obj, PyObject* text) {
    setattr(obj, "__doc__", text);
    for (const char* inner : {"__func__", "__wrapped__"})
        if (Ref function = getattr_optional(obj, str(inner).get())) setattr(function.get(), "__doc__", text);
}

[[noreturn]] void raise_missing(std::string_view name) {
    raise_format(PyExc_SystemError, "documented name '%s' is not defined", std::string(name).c_str());
}

}  // namespace

void apply_docs(Module& m, std::span<const Doc> docs) {
    for (const Doc& doc : docs) {
        Ref text = str(doc.text);
        std::string_view name(doc.name);
        if (name.empty()) {
            setattr(m.object(), "__doc__", text.get());
            continue;
        }
        size_t dot = name.find('.');
        Ref target = dict_get(m.dict(), str(name.substr(0, dot)).get());
        if (target && dot != std::string_view::npos) {
            // A class's own member, not one it inherits.
            Ref members = PyType_Check(target.get())
                              ? Ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(target.get())))
                              : Ref();
            target = members ? dict_get(members.get(), str(name.substr(dot + 1)).get()) : Ref();
        }
        if (!target) raise_missing(name);
        set_doc(target.get(), text.get());
    }
}

}  // namespace velmo::rt
