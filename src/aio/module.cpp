// velmo.db.aio: the asyncio session facade. Module init and the table of Python-visible names.
#include "aio.hpp"

using namespace velmo::rt;

namespace velmo::aio {

State state;

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
    state.intern();
    state.kw_session = kept_names({"bind", "expire_on_commit"});
    state.kw_kestrum = kept_names({"kestrum"});
    state.kw_sync_session_class = kept_names({"sync_session_class"});
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
    Ref await_ = getattr_optional(util.get(), state.s_await_);
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
