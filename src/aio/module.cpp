// velmo.db.aio: the asyncio session facade. Module init and the table of Python-visible names.
#include "aio.hpp"

#include "docs.inc"  // module_docs, from the stub

using namespace velmo::rt;

namespace velmo::aio {

State state;

namespace {

// VelmoSqlSession's declarations: arguments are refused at the call with the same messages; only
// data_source names the AsyncEngine.
VELMO_SESSION_SIGNATURES("AsyncEngine")

// Not in the namespace: the callables execute_in_connection hands out.
const Signature in_session_sig{"in_session", {{"fun"}, {"session"}}, in_session_fn};
const Signature given_session_sig{
    "given_session", {{"session"}, {"bind", Default::None}, {"binds", Default::None}}, given_session_fn};
// Not in the namespace either: begin_tx's watch of its task (tasks.cpp).
const Signature begin_in_task_sig{"begin_in_task", {{"begin"}, {"where"}}, begin_in_task_fn};
const Signature close_in_task_sig{"close_in_task", {{"close"}}, close_in_task_fn};
const Signature close_abandoned_sig{"close_abandoned", {{"session"}}, close_abandoned_fn};

void intern_names() {
    state.intern();
    state.kw_session = kept_names({"bind", "expire_on_commit"});
    state.kw_kestrum = kept_names({"kestrum"});
    state.kw_sync_session_class = kept_names({"sync_session_class"});
}

// class GreenletVelmoSqlSession(VelmoSqlSession):
//     connection_local = ContextVar("connection_local", default=None)
// The sync road itself; its own variable keeps async transactions apart from sync ones.
PyObject* def_greenlet_session_class(Module& m) {
    Ref body = Ref::steal(PyDict_New());
    dict_set(body.get(), "connection_local", sessions::new_connection_local(m).get());
    Ref base = dict_get(m.dict(), str("VelmoSqlSession").get());
    return m.def_class("GreenletVelmoSqlSession", {}, body.get(), base.get());
}

// class AsyncVelmoSqlSession: connection_local = GreenletVelmoSqlSession.connection_local; ...
void def_session_class(Module& m, PyObject* greenlet_session) {
    Ref body = Ref::steal(PyDict_New());
    dict_set(body.get(), "connection_local", getattr(greenlet_session, "connection_local").get());
    m.def_class("AsyncVelmoSqlSession", {VELMO_SESSION_METHODS(VELMO_SESSION_MEMBER)}, body.get());
}

// The kept objects of tasks.cpp.
void def_task_watch(Module& m, PyObject* greenlet_session) {
    state.connection_local = getattr(greenlet_session, "connection_local").release();
    Ref asyncio = Ref::steal(PyImport_ImportModule("asyncio"));
    state.current_task = getattr(asyncio.get(), "current_task").release();
    state.begin_in_task = m.function(begin_in_task_sig).release();
    state.close_in_task = m.function(close_in_task_sig).release();
    state.close_abandoned = m.function(close_abandoned_sig).release();
    state.reapers = check(PySet_New(nullptr));
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
    state.factories.init(dict_get(m.dict(), state.s_async_sessionmaker).get());
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
    PyObject* greenlet_session = def_greenlet_session_class(m);
    def_session_class(m, greenlet_session);
    def_task_watch(m, greenlet_session);
    apply_docs(m, module_docs);
}

}  // namespace

}  // namespace velmo::aio

VELMO_MODULE(aio, "velmo.db.aio", velmo::aio::exec_aio)
