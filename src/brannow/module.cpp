// velmo.db.brannow: the session facade. Module init and the table of Python-visible names.
#include "brannow.hpp"

#include "docs.inc"  // module_docs, from the stub

using namespace velmo::rt;

namespace velmo::brannow {

State state;

namespace {

const Signature results_handle_sig{
    "results_handle", {{"results"}, {"result_type"}, {"f_return_type"}}, results_handle_fn};

VELMO_SESSION_SIGNATURES("Engine")
const Signature con_sig{"__con", {self_param}, con_fn};

void intern_names() {
    state.intern();
    state.kw_session = kept_names({"bind", "expire_on_commit"});
    state.kw_get_sql = kept_names({"sql_id", "params"});
    state.kw_sql_con_args = kept_names({"sql", "con", "args"});
    state.kw_sql_page_con_args = kept_names({"sql", "page", "con", "args"});
    state.kw_data_con = kept_names({"data", "con"});
    state.kw_con = kept_names({"con"});
    state.zero = integer(0).release();
    state.empty_tuple = check(PyTuple_New(0));
}

// The logger velmo.sql, found without binding any name in the module's namespace. Values go to
// a level below DEBUG (5), so that a handler at DEBUG never receives them.
void find_sql_logger() {
    Ref logging = Ref::steal(PyImport_ImportModule("logging"));
    Ref get_logger = getattr(logging.get(), "getLogger");
    state.sql_logger = call(get_logger.get(), {str("velmo.sql").get()}).release();
    state.level_debug = getattr(logging.get(), "DEBUG").release();
    state.level_values = Ref::steal(PyNumber_Subtract(state.level_debug, integer(5).get())).release();
}

// The tp_init slot CPython gives a class whose __init__ is a Python function, read off a probe
// class (get_args is one such function).
void find_python_init(Module& m) {
    Ref ns = Ref::steal(PyDict_New());
    dict_set(ns.get(), state.s_init, dict_get(m.dict(), str("get_args").get()).get());
    Ref bases = Ref::steal(PyTuple_New(0));
    Ref probe = call(reinterpret_cast<PyObject*>(&PyType_Type), {str("probe").get(), bases.get(), ns.get()});
    PyObject* init = dict_get(ns.get(), state.s_init).get();
    if (PyFunction_Check(init)) state.python_init = reinterpret_cast<PyTypeObject*>(probe.get())->tp_init;
}

// class VelmoSqlSession: connection_local = ContextVar("connection_local", default=None); ...
void def_session_class(Module& m) {
    Ref body = Ref::steal(PyDict_New());
    dict_set(body.get(), state.s_connection_local, sessions::new_connection_local(m).get());
    PyObject* cls = m.def_class("VelmoSqlSession",
                                {{&init_sig},
                                 {&con_sig, Kind::Method, "_VelmoSqlSession__con"},
                                 VELMO_SESSION_METHODS_AFTER_INIT(VELMO_SESSION_MEMBER)},
                                body.get());
    // Kept, so that the identity test of the __con fast path can never match a recycled address.
    state.own_con = Py_NewRef(internals::type_lookup(reinterpret_cast<PyTypeObject*>(cls), state.s_con));
}

void exec_brannow(Module& m) {
    intern_names();
    state.globals = m.dict();
    PyObject* builtins = check(PyEval_GetBuiltins());
    state.builtin_len = dict_get(builtins, state.s_len).release();
    state.builtin_next = dict_get(builtins, state.s_next).release();
    state.builtin_iter = dict_get(builtins, state.s_iter).release();
    // Where a Python module has it: before the first import.
    m.add("__builtins__", Ref::borrow(builtins));
    m.from_import("typing", {"Dict", "Any", "List", "get_args"});
    m.from_import("sqlalchemy", {"Engine", "TextClause"});
    m.from_import("sqlalchemy.orm", {"sessionmaker"});
    state.factories.init(dict_get(m.dict(), state.s_sessionmaker).get());
    m.from_import("velmo.db.kestrum", {"Page", "SqlTemplate"});
    m.from_import("velmo.utils.wollix", {"is_container_type", "is_result_class", "get_base_type"});
    state.own_results_handle = Py_NewRef(m.def(results_handle_sig));
    m.from_import("contextvars", {"ContextVar"});
    find_python_init(m);
    def_session_class(m);
    find_sql_logger();
    apply_docs(m, module_docs);
}

}  // namespace

}  // namespace velmo::brannow

VELMO_MODULE(brannow, "velmo.db.brannow", velmo::brannow::exec_brannow)
