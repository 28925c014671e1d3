// velmo.db.brannow: the session facade. Module init and the table of Python-visible names.
#include "brannow.hpp"

using namespace velmo::rt;

namespace velmo::brannow {

State state;

Ref global(PyObject* name) { return load_global(state.globals, name); }

namespace {

constexpr Param self_param{"self"};
constexpr Param sql_param{"sql", Default::Required, Exact::Any, "TextClause"};
constexpr Param statement_param{"statement"};

const Signature results_handle_sig{
    "results_handle", {{"results"}, {"result_type"}, {"f_return_type"}}, results_handle_fn};

const Signature init_sig{"__init__",
                             {self_param,
                              {"mapper_dict", Default::Required, Exact::Dict, "dict"},
                              {"data_source", Default::None, Exact::Any, "Engine"},
                              {"kestrum", Default::None, Exact::Any, "SqlTemplate"}},
                             init_fn};
const Signature con_sig{"__con", {self_param}, con_fn};
const Signature get_ori_session_sig{"get_ori_session", {self_param}, get_ori_session_fn};
const Signature begin_tx_sig{"begin_tx", {self_param}, begin_tx_fn};
const Signature execute_sql_sig{"execute_sql",
                                    {self_param,
                                     {"sql_id", Default::Required, Exact::Str, "str"},
                                     {"namespace", Default::None, Exact::Str, "str"},
                                     {"ori_params", Default::None, Exact::Dict, "dict"},
                                     {"page", Default::None, Exact::Any, "Page"},
                                     {"return_type", Default::None, Exact::Any, "Any"}},
                                    execute_sql_fn};
const Signature select_one_sig{"select_one", {self_param, sql_param, {"sql_param", Default::None}}, select_one_fn};
const Signature select_list_sig{"select_list", {self_param, sql_param, {"sql_param", Default::None}}, select_list_fn};
const Signature select_page_sig{
    "select_page", {self_param, sql_param, {"page"}, {"sql_param", Default::None}}, select_page_fn};
const Signature insert_sig{"insert", {self_param, sql_param, {"sql_param"}}, insert_fn};
const Signature delete_sig{"delete", {self_param, sql_param, {"sql_param"}}, delete_fn};
const Signature update_sig{"update", {self_param, sql_param, {"sql_param"}}, update_fn};
const Signature add_sig{"add", {self_param, {"data", Default::Required, Exact::Any, "Any"}}, add_fn};
const Signature add_all_sig{"add_all", {self_param, {"datas", Default::Required, Exact::Any, "Any"}}, add_all_fn};
const Signature select_all_orm2_sig{"select_all_orm2", {self_param, statement_param}, select_all_orm2_fn};
const Signature select_one_orm2_sig{"select_one_orm2", {self_param, statement_param}, select_one_orm2_fn};
const Signature delete_orm2_sig{"delete_orm2", {self_param, statement_param}, delete_orm2_fn};
const Signature update_orm2_sig{"update_orm2", {self_param, statement_param}, update_orm2_fn};
const Signature insert_orm2_sig{
    "insert_orm2", {self_param, statement_param, {"data_list", Default::None, Exact::List, "list"}}, insert_orm2_fn};
const Signature execute_in_connection_sig{"execute_in_connection", {self_param, {"fun"}}, execute_in_connection_fn};
const Signature commit_sig{"commit", {self_param}, commit_fn};
const Signature rollback_sig{"rollback", {self_param}, rollback_fn};
const Signature close_sig{"close", {self_param}, close_fn};

const char* const mangled_con = "_VelmoSqlSession__con";

void intern_names() {
    State& s = state;
    s.n_con = kept_name(mangled_con);
    s.n_connection_local = kept_name("connection_local");
    s.n_get = kept_name("get");
    s.n_set = kept_name("set");
    s.n_mapper_dict = kept_name("mapper_dict");
    s.n_data_source = kept_name("data_source");
    s.n_kestrum = kept_name("kestrum");
    s.n_get_sql = kept_name("get_sql");
    s.n_commit = kept_name("commit");
    s.n_rollback = kept_name("rollback");
    s.n_close = kept_name("close");
    s.n_values = kept_name("values");
    s.n_execute_in_connection = kept_name("execute_in_connection");
    s.n_select_one = kept_name("select_one");
    s.n_select_list = kept_name("select_list");
    s.n_select_page = kept_name("select_page");
    s.n_insert = kept_name("insert");
    s.n_delete = kept_name("delete");
    s.n_update = kept_name("update");
    s.n_add = kept_name("add");
    s.n_add_all = kept_name("add_all");
    s.n_select_all_orm2 = kept_name("select_all_orm2");
    s.n_select_one_orm2 = kept_name("select_one_orm2");
    s.n_delete_orm2 = kept_name("delete_orm2");
    s.n_update_orm2 = kept_name("update_orm2");
    s.n_insert_orm2 = kept_name("insert_orm2");

    s.g_results_handle = kept_name("results_handle");
    s.g_sessionmaker = kept_name("sessionmaker");
    s.g_sql_template = kept_name("SqlTemplate");
    s.g_len = kept_name("len");
    s.g_list = kept_name("list");
    s.g_dict = kept_name("dict");
    s.g_next = kept_name("next");
    s.g_iter = kept_name("iter");
    s.g_get_base_type = kept_name("get_base_type");
    s.g_is_container_type = kept_name("is_container_type");
    s.g_is_result_class = kept_name("is_result_class");
    s.g_get_args = kept_name("get_args");
    s.g_typing_dict = kept_name("Dict");
    s.g_typing_list = kept_name("List");

    auto names = [](std::initializer_list<const char*> list) {
        Ref t = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(list.size())));
        Py_ssize_t i = 0;
        for (const char* n : list) PyTuple_SET_ITEM(t.get(), i++, kept_name(n));
        return t.release();
    };
    s.kw_session = names({"bind", "expire_on_commit"});
    s.kw_get_sql = names({"sql_id", "params"});
    s.kw_sql_con_args = names({"sql", "con", "args"});
    s.kw_sql_page_con_args = names({"sql", "page", "con", "args"});
    s.kw_data_con = names({"data", "con"});
    s.kw_con = names({"con"});

    s.t_select = kept_name("select");
    s.t_insert = kept_name("insert");
    s.t_delete = kept_name("delete");
    s.t_update = kept_name("update");
    s.t_list = kept_name("list");
    s.s_empty = kept_name("");
    s.zero = PyLong_FromLong(0);
    s.empty_tuple = PyTuple_New(0);
    s.n_init = kept_name("__init__");
    s.n_is_enabled_for = kept_name("isEnabledFor");
    s.n_log = kept_name("log");
    s.n_text = kept_name("text");
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
    dict_set(ns.get(), state.n_init, dict_get(m.dict(), str("get_args").get()).get());
    Ref bases = Ref::steal(PyTuple_New(0));
    Ref probe = call(reinterpret_cast<PyObject*>(&PyType_Type), {str("probe").get(), bases.get(), ns.get()});
    PyObject* init = dict_get(ns.get(), state.n_init).get();
    if (PyFunction_Check(init)) state.python_init = reinterpret_cast<PyTypeObject*>(probe.get())->tp_init;
}

// class VelmoSqlSession: connection_local = ContextVar("connection_local", default=None); ...
void def_session_class(Module& m) {
    Ref context_var = dict_get(m.dict(), str("ContextVar").get());
    Ref kw = tuple({interned("default").get()});
    Ref body = Ref::steal(PyDict_New());
    dict_set(body.get(), state.n_connection_local,
             call_kw(context_var.get(), {state.n_connection_local, Py_None}, kw.get()).get());
    PyObject* cls = m.def_class("VelmoSqlSession",
                                {{&init_sig},
                                 {&con_sig, Kind::Method, mangled_con},
                                 {&get_ori_session_sig},
                                 {&begin_tx_sig},
                                 {&execute_sql_sig},
                                 {&select_one_sig},
                                 {&select_list_sig},
                                 {&select_page_sig},
                                 {&insert_sig},
                                 {&delete_sig},
                                 {&update_sig},
                                 {&add_sig},
                                 {&add_all_sig},
                                 {&select_all_orm2_sig},
                                 {&select_one_orm2_sig},
                                 {&delete_orm2_sig},
                                 {&update_orm2_sig},
                                 {&insert_orm2_sig},
                                 {&execute_in_connection_sig},
                                 {&commit_sig},
                                 {&rollback_sig},
                                 {&close_sig}},
                                body.get());
    // Kept, so that the identity test of the __con fast path can never match a recycled address.
    state.own_con = Py_NewRef(_PyType_Lookup(reinterpret_cast<PyTypeObject*>(cls), state.n_con));
}

void exec_brannow(Module& m) {
    intern_names();
    state.globals = m.dict();
    PyObject* builtins = check(PyEval_GetBuiltins());
    state.builtin_len = dict_get(builtins, state.g_len).release();
    state.builtin_next = dict_get(builtins, state.g_next).release();
    state.builtin_iter = dict_get(builtins, state.g_iter).release();
    // Where a Python module has it: before the first import.
    m.add("__builtins__", Ref::borrow(builtins));
    m.from_import("typing", {"Dict", "Any", "List", "get_args"});
    m.from_import("sqlalchemy", {"Engine", "TextClause"});
    m.from_import("sqlalchemy.orm", {"sessionmaker"});
    m.from_import("velmo.db.kestrum", {"Page", "SqlTemplate"});
    m.from_import("velmo.utils.wollix", {"is_container_type", "is_result_class", "get_base_type"});
    state.own_results_handle = Py_NewRef(m.def(results_handle_sig));
    m.from_import("contextvars", {"ContextVar"});
    find_python_init(m);
    def_session_class(m);
    find_sql_logger();
}

}  // namespace

}  // namespace velmo::brannow

VELMO_MODULE(brannow, "velmo.db.brannow", velmo::brannow::exec_brannow)
