// velmo.utils.plovet: the named template functions `like` and `time_format` and their registry.
//
// Both render through the module global `sql_string_format` (star-imported from zimbard) and
// look it up, like `time`, at call time, so that rebinding a global takes effect.
#include "../runtime/rt.hpp"

#include "docs.inc"  // module_docs, from the stub

using namespace velmo::rt;

namespace {

#define PLOVET_NAMES(X) X(sql_string_format, "sql_string_format") X(time, "time") X(strftime, "strftime")
VELMO_NAMES(Names, PLOVET_NAMES)

struct State : Names {};
State state;

// sql_string_format(value): the value as a quoted SQL string literal.
Ref like_fn(const Args& a) {
    Ref format = load_global(a.globals(), state.s_sql_string_format);
    return call(format.get(), {a[0]});
}

// sql_string_format(time.strftime(format, date_value)).
Ref time_format_fn(const Args& a) {
    Ref format = load_global(a.globals(), state.s_sql_string_format);
    Ref time = load_global(a.globals(), state.s_time);
    Ref strftime = getattr(time.get(), state.s_strftime);
    Ref text = call(strftime.get(), {a[1], a[0]});
    return call(format.get(), {text.get()});
}

const Signature like_sig{"like", {{"value"}}, like_fn};
const Signature time_format_sig{
    "time_format", {{"date_value"}, {"format", Default::Str, Exact::Str, "str", "%Y-%m-%d %H:%M:%S"}}, time_format_fn};

void exec_plovet(Module& m) {
    state = {};  // nothing left over from an initialisation that failed
    state.intern();
    m.import("time");
    m.star_import("velmo.utils.zimbard");
    PyObject* like_fn = m.def(like_sig);
    PyObject* time_format_fn = m.def(time_format_sig);
    Ref registry = Ref::steal(PyDict_New());
    dict_set(registry.get(), "like", like_fn);
    dict_set(registry.get(), "time_format", time_format_fn);
    m.add("default_fun_dict", registry);
    apply_docs(m, module_docs);
}

}  // namespace

VELMO_MODULE(plovet, "velmo.utils.plovet", exec_plovet)
