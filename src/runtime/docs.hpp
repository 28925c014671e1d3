// Docstrings from the stubs.
//
// The stubs in python/velmo hold velmo's docstrings; tools/docstrings.py writes each module's as a
// table (`docs.inc`, defining `module_docs`) that the module's init hands to apply_docs once its
// namespace is built.
#pragma once

#include <span>

#include "module.hpp"

namespace velmo::rt {

struct Doc {
    const char* name;  // "" for the module, "f" for a function or class, "C.m" for a method
    const char* text;
};

// Sets each text as the __doc__ of what its name names: the module, a name in its namespace, or
// a class's own member. A staticmethod's or wrapper's function gets the text too, so that help()
// and inspect.getdoc read it whichever they look at. A name that is missing raises SystemError.
void apply_docs(Module& m, std::span<const Doc> docs);

}  // namespace velmo::rt
