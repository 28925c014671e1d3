// Compiling an expression of a mapper file as eval compiles it: velmo.mapper.drovik compiles the
// conditions and collections it runs, velmo.mapper.checker the ones it checks, so an expression
// that the checker finds compiling is one that evaluation compiles.
#pragma once

#include <cstring>

#include "../runtime/ref.hpp"

namespace velmo::mapper {

// What eval compiles of a str's UTF-8 text: eval skips leading spaces and tabs.
inline const char* eval_source(const char* utf8) {
    while (*utf8 == ' ' || *utf8 == '\t') ++utf8;
    return utf8;
}

// compile(source, "<string>", "eval") as eval(source, ...) does it for a str, from the str's UTF-8
// text (`size` bytes, NUL-terminated): a NUL inside is the SyntaxError eval raises for it; flags
// and feature version as eval passes them.
inline rt::Ref compile_as_eval(const char* utf8, size_t size) {
    if (std::strlen(utf8) != size) rt::raise(PyExc_SyntaxError, "source code string cannot contain null bytes");
    PyCompilerFlags flags;
    flags.cf_flags = PyCF_SOURCE_IS_UTF8 | PyCF_IGNORE_COOKIE;
    flags.cf_feature_version = PY_MINOR_VERSION;
    return rt::Ref::steal(Py_CompileStringExFlags(eval_source(utf8), "<string>", Py_eval_input, &flags, -1));
}

}  // namespace velmo::mapper
