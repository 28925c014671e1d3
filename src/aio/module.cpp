// velmo.db.aio: the asyncio session facade. Module init and the table of Python-visible names.
#include "aio.hpp"

using namespace velmo::rt;

namespace velmo::aio {

State state;

Ref global(PyObject* name) { return load_global(state.globals, name); }

namespace {

// The declarations are VelmoSqlSession's, so that arguments are refused at the call with the same
// messages; only data_source names the AsyncEngine.
constexpr Param self_param{"self"};
constexpr Param sql_param{"sql", Default::Required, Exact::Any, "TextClause"};
constexpr Param statement_param{"statement"};

const Signature init_sig{"__init__",
                             {self_param,
                              {"mapper_dict", Default::Required, Exact::Dict, "dict"},
                              {"data_source", Default::None, Exact::Any, "AsyncEngine"},
                              {"kestrum", Default::None, Exact::Any, "SqlTemplate"}},
                             init_fn};
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

// Not in the namespace: the callables execute_in_connection hands out.
const Signature in_session_sig{"in_session", {{"fun"}, {"session"}}, in_session_fn};
const Signature given_session_sig{
    "given_session", {{"session"}, {"bind", Default::None}, {"binds", Default::None}}, given_session_fn};

void intern_names() {
    State& s = state;
    s.n_sync_session = kept_name("sync_session");
    s.n_mapper_dict = kept_name("mapper_dict");
    s.n_data_source = kept_name("data_source");
    s.n_kestrum = kept_name("kestrum");
    s.n_sync_engine = kept_name("sync_engine");
    s.n_dialect = kept_name("dialect");
    s.n_is_async = kept_name("is_async");
    s.n_close = kept_name("close");
    s.n_execute_in_connection = kept_name("execute_in_connection");
    s.n_begin_tx = kept_name("begin_tx");
    s.n_execute_sql = kept_name("execute_sql");
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
    s.n_commit = kept_name("commit");
    s.n_rollback = kept_name("rollback");

    s.g_greenlet_spawn = kept_name("greenlet_spawn");
    s.g_await = kept_name("await_");
    s.g_partial = kept_name("partial");
    s.g_isawaitable = kept_name("isawaitable");
    s.g_iscoroutinefunction = kept_name("iscoroutinefunction");
    s.g_engine = kept_name("Engine");
    s.g_async_engine = kept_name("AsyncEngine");
    s.g_async_session = kept_name("AsyncSession");
    s.g_async_sessionmaker = kept_name("async_sessionmaker");
    s.g_sql_template = kept_name("SqlTemplate");
    s.g_greenlet_session = kept_name("GreenletVelmoSqlSession");

    auto names = [](std::initializer_list<const char*> list) {
        Ref t = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(list.size())));
        Py_ssize_t i = 0;
        for (const char* n : list) PyTuple_SET_ITEM(t.get(), i++, kept_name(n));
        return t.release();
    };
    s.kw_session = names({"bind", "expire_on_commit"});
    s.kw_kestrum = names({"kestrum"});
    s.kw_sync_session_class = names({"sync_session_class"});
}

// ContextVar("connection_local", default=None)
Ref new_connection_local(Module& m) {
    Ref context_var = dict_get(m.dict(), str("ContextVar").get());
    Ref kw = tuple({interned("default").get()});
    return call_kw(context_var.get(), {str("connection_local").get(), Py_None}, kw.get());
}

// class GreenletVelmoSqlSession(VelmoSqlSession):
//     connection_local = ContextVar("connection_local", default=None)
// The sync road itself; its own variable keeps async transactions apart from sync ones.
PyObject* def_greenlet_session_class(Module& m) {
    const char* name = "GreenletVelmoSqlSession";
    Ref ns = Ref::steal(PyDict_New());
    dict_set(ns.get(), "__module__", m.name());
    dict_set(ns.get(), "__qualname__", str(name).get());
    dict_set(ns.get(), "connection_local", new_connection_local(m).get());
    Ref base = dict_get(m.dict(), str("VelmoSqlSession").get());
    Ref bases = tuple({base.get()});
    return m.add(name, call(reinterpret_cast<PyObject*>(&PyType_Type), {str(name).get(), bases.get(), ns.get()}));
}

// class AsyncVelmoSqlSession: connection_local = GreenletVelmoSqlSession.connection_local; ...
void def_session_class(Module& m, PyObject* greenlet_session) {
    Ref body = Ref::steal(PyDict_New());
    dict_set(body.get(), "connection_local", getattr(greenlet_session, "connection_local").get());
    m.def_class("AsyncVelmoSqlSession",
                {{&init_sig},
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
}

void exec_aio(Module& m) {
    intern_names();
    state.globals = m.dict();
    // Where a Python module has it: before the first import.
    m.add("__builtins__", Ref::borrow(check(PyEval_GetBuiltins())));
    m.from_import("functools", {"partial"});
    m.from_import("inspect", {"isawaitable", "iscoroutinefunction"});
    m.from_import("sqlalchemy", {"Engine", "TextClause"});
    m.from_import("sqlalchemy.ext.asyncio", {"AsyncEngine", "AsyncSession", "async_sessionmaker"});
    m.from_import("sqlalchemy.util", {"greenlet_spawn"});
    // await_ since SQLAlchemy 2.1; await_only before.
    Ref util = Ref::steal(PyImport_ImportModule("sqlalchemy.util"));
    Ref await_ = getattr_optional(util.get(), state.g_await);
    m.add("await_", await_ ? await_ : getattr(util.get(), "await_only"));
    m.from_import("velmo.db.kestrum", {"Page", "SqlTemplate"});
    m.from_import("velmo.db.brannow", {"VelmoSqlSession"});
    m.from_import("contextvars", {"ContextVar"});
    state.in_session = m.function(in_session_sig).release();
    state.given_session = m.function(given_session_sig).release();
    def_session_class(m, def_greenlet_session_class(m));
}

}  // namespace

}  // namespace velmo::aio

VELMO_MODULE(aio, "velmo.db.aio", velmo::aio::exec_aio)
