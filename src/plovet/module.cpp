// velmo.utils.plovet: the named template functions `like` and `time_format` and their registry.
//
// Both render through the module global `sql_string_format` (star-imported from zimbard) and
// look it up, like `time`, at call time, so that rebinding a global takes effect.
#include "../runtime/rt.hpp"

using namespace velmo::rt;

namespace {

struct State {
    PyObject* sql_string_format_name;
    PyObject* time_name;
    PyObject* strftime_name;
};
State state;

// A module global, looked up as a function body would (globals, then builtins).
Ref global(const Args& a, PyObject* name) { return load_global(a.globals(), name); }

// sql_string_format(value): the value as a quoted SQL string literal.
Ref like(const Args& a) {
    Ref format = global(a, state.sql_string_format_name);
    return call(format.get(), {a[0]});
}

// sql_string_format(time.strftime(format, date_value)).
Ref time_format(const Args& a) {
    Ref format = global(a, state.sql_string_format_name);
    Ref time = global(a, state.time_name);
    Ref strftime = getattr(time.get(), state.strftime_name);
    Ref text = call(strftime.get(), {a[1], a[0]});
    return call(format.get(), {text.get()});
}

const Signature like_sig{"like", {{"value"}}, like};
const Signature time_format_sig{
    "time_format",
    {{"date_value"}, {"format", Default::Str, Exact::Str, "str", "%Y-%m-%d %H:%M:%S"}},
    time_format};

void exec_plovet(Module& m) {
    state = {};  // nothing left over from an initialisation that failed
    state.sql_string_format_name = kept_name("sql_string_format");
    state.time_name = kept_name("time");
    state.strftime_name = kept_name("strftime");
    m.import("time");
    m.star_import("velmo.utils.zimbard");
    PyObject* like_fn = m.def(like_sig);
    PyObject* time_format_fn = m.def(time_format_sig);
    Ref registry = Ref::steal(PyDict_New());
    dict_set(registry.get(), "like", like_fn);
    dict_set(registry.get(), "time_format", time_format_fn);
    m.add("default_fun_dict", registry);
}

}  // namespace

VELMO_MODULE(plovet, "velmo.utils.plovet", exec_plovet)
