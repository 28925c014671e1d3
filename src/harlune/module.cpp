// velmo.utils.harlune: replaces a leading or trailing override of an SQL text by regular expression.
//
// Each function strips the text, wraps the overrides in its pattern template and hands the work to
// `re.sub(pattern, replace, text, count=1, flags=re.IGNORECASE)`, where `re` is the module global
// (the regex package). While `re`, `re.sub` and `re.IGNORECASE` are the ones imported here, the
// compiled pattern is taken from a per-template cache keyed by the overrides text and its `sub` is
// called directly: that is what regex.sub does after its own (slow, Python-level) cache look-up.
#include "../runtime/rt.hpp"

#include "docs.inc"  // module_docs, from the stub

using namespace velmo::rt;

namespace {

// Patterns kept per template before the cache starts over.
constexpr Py_ssize_t cache_limit = 256;

struct Template {
    PyObject* head;   // pattern text before the overrides
    PyObject* tail;   // pattern text after the overrides
    PyObject* cache;  // overrides text -> bound `sub` of the compiled pattern
};

// clang-format off
#define HARLUNE_NAMES(X)                                                                                              \
    X(re, "re") X(sub, "sub") X(IGNORECASE, "IGNORECASE") X(LOCALE, "LOCALE") X(compile, "compile")                   \
    X(flags, "flags") X(DEFAULT_VERSION, "DEFAULT_VERSION")
// clang-format on
VELMO_NAMES(Names, HARLUNE_NAMES)

struct State : Names {
    PyObject* regex;          // the regex package as imported
    PyObject* regex_sub;      // regex.sub as imported
    PyObject* ignorecase;     // regex.IGNORECASE as imported
    PyObject* cache_version;  // regex.DEFAULT_VERSION the cached patterns were compiled under
    PyObject* one;
    PyObject* kw_count_flags;  // ("count", "flags")
    long locale_flag;
    Template first;
    Template last;
};
State state;

Ref pattern_text(const Template& t, PyObject* overrides) {
    Ref head = Ref::steal(PyUnicode_Concat(t.head, overrides));
    return Ref::steal(PyUnicode_Concat(head.get(), t.tail));
}

// The bound `sub` of the pattern compiled with IGNORECASE, from the cache or compiled now.
// Locale-dependent patterns are not kept, as regex does not key them by text alone either.
Ref cached_sub(Template& t, PyObject* overrides) {
    Ref version = getattr(state.regex, state.s_DEFAULT_VERSION);
    if (version.get() != state.cache_version) {
        PyDict_Clear(state.first.cache);
        PyDict_Clear(state.last.cache);
        Py_SETREF(state.cache_version, version.release());
    }
    if (Ref sub = dict_get(t.cache, overrides)) return sub;
    Ref pattern = pattern_text(t, overrides);
    Ref compiled = call_method(state.regex, state.s_compile, {pattern.get(), state.ignorecase});
    Ref sub = getattr(compiled.get(), state.s_sub);
    Ref flags = getattr(compiled.get(), state.s_flags);
    long bits = PyLong_AsLong(flags.get());
    if (bits == -1 && PyErr_Occurred()) throw_error();
    if (!(bits & state.locale_flag)) {
        if (PyDict_GET_SIZE(t.cache) >= cache_limit) PyDict_Clear(t.cache);
        dict_set(t.cache, overrides, sub.get());
    }
    return sub;
}

Ref replace_override(Template& t, const Args& a) {
    PyObject* overrides = a[1];
    PyObject* replace = a[2];
    Ref text = strip(a[0]);
    Ref re = load_global(a.globals(), state.s_re);
    Ref sub = getattr(re.get(), state.s_sub);
    Ref flags = getattr(re.get(), state.s_IGNORECASE);
    if (re.get() == state.regex && sub.get() == state.regex_sub && flags.get() == state.ignorecase) {
        Ref compiled_sub = cached_sub(t, overrides);
        return call(compiled_sub.get(), {replace, text.get(), state.one});
    }
    Ref pattern = pattern_text(t, overrides);
    return call_kw(sub.get(), {pattern.get(), replace, text.get(), state.one, flags.get()}, state.kw_count_flags);
}

Ref replace_sql_first_fn(const Args& a) { return replace_override(state.first, a); }
Ref replace_sql_last_fn(const Args& a) { return replace_override(state.last, a); }

const Signature replace_sql_first_sig{"replace_sql_first",
                                      {{"string", Default::Required, Exact::Str, "str"},
                                       {"prefix_overrides", Default::Required, Exact::Str, "str"},
                                       {"replace", Default::Required, Exact::Str, "str"}},
                                      replace_sql_first_fn};
const Signature replace_sql_last_sig{"replace_sql_last",
                                     {{"string", Default::Required, Exact::Str, "str"},
                                      {"suffix_overrides", Default::Required, Exact::Str, "str"},
                                      {"replace", Default::Required, Exact::Str, "str"}},
                                     replace_sql_last_fn};

void exec_harlune(Module& m) {
    state = {};  // nothing left over from an initialisation that failed
    state.intern();
    PyObject* re = m.import("regex", "re").get();
    state.regex = Py_NewRef(re);
    state.regex_sub = getattr(re, state.s_sub).release();
    state.ignorecase = getattr(re, state.s_IGNORECASE).release();
    state.cache_version = getattr(re, state.s_DEFAULT_VERSION).release();
    Ref locale = getattr(re, state.s_LOCALE);
    state.locale_flag = PyLong_AsLong(locale.get());
    if (state.locale_flag == -1 && PyErr_Occurred()) throw_error();
    state.one = integer(1).release();
    state.kw_count_flags = kept_names({"count", "flags"});
    state.first = {str("^[\\s]*?(").release(), str(")").release(), check(PyDict_New())};
    state.last = {str("(").release(), str(")(\\s+--.+)?$").release(), check(PyDict_New())};
    m.def(replace_sql_first_sig);
    m.def(replace_sql_last_sig);
    apply_docs(m, module_docs);
}

}  // namespace

VELMO_MODULE(harlune, "velmo.utils.harlune", exec_harlune)
