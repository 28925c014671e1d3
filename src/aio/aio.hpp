// velmo.db.aio: what the asyncio session facade's files share.
//
// AsyncVelmoSqlSession keeps no road of its own: it holds a GreenletVelmoSqlSession (the sync
// VelmoSqlSession with its own context variable) over the AsyncEngine's sync_engine, and each
// method returns greenlet_spawn(that session's method, *args), as AsyncSession does with its
// Session. SQLAlchemy runs the sync code in a greenlet that carries the awaiting task's context,
// so the mapper, the template and the transaction rules are the sync ones, and the current
// transaction stays private to the task.
//
// Construction (session.cpp), the awaitable methods (spawn.cpp) and execute_in_connection with
// its plain or coroutine callables (connection.cpp); module.cpp builds the namespace. Module
// globals (greenlet_spawn, AsyncEngine, SqlTemplate, ...) are looked up at call time, as the
// Python code of the module would.
#pragma once

#include "../runtime/rt.hpp"
#include "../sessions/connection_local.hpp"
#include "../sessions/factory.hpp"
#include "../sessions/session_methods.hpp"

namespace velmo::aio {

using rt::Args;
using rt::Ref;

// clang-format off
#define AIO_NAMES(X)                                                                                                  \
    X(sync_session, "sync_session") X(mapper_dict, "mapper_dict") X(data_source, "data_source")                       \
    X(kestrum, "kestrum") X(sync_engine, "sync_engine") X(dialect, "dialect")                                         \
    X(is_async, "is_async") X(close, "close") X(execute_in_connection, "execute_in_connection")                       \
    X(begin_tx, "begin_tx") X(execute_sql, "execute_sql") X(select_one, "select_one")                                 \
    X(select_list, "select_list") X(select_page, "select_page") X(insert, "insert")                                   \
    X(delete, "delete") X(update, "update") X(add, "add") X(add_all, "add_all")                                       \
    X(select_all_orm2, "select_all_orm2") X(select_one_orm2, "select_one_orm2")                                       \
    X(delete_orm2, "delete_orm2") X(update_orm2, "update_orm2") X(insert_orm2, "insert_orm2")                         \
    X(commit, "commit") X(rollback, "rollback") X(greenlet_spawn, "greenlet_spawn")                                   \
    X(await_, "await_") X(partial, "partial") X(isawaitable, "isawaitable")                                           \
    X(iscoroutinefunction, "iscoroutinefunction") X(Engine, "Engine") X(AsyncEngine, "AsyncEngine")                   \
    X(AsyncSession, "AsyncSession") X(async_sessionmaker, "async_sessionmaker")                                       \
    X(SqlTemplate, "SqlTemplate") X(GreenletVelmoSqlSession, "GreenletVelmoSqlSession")                             \
    X(invalidate, "invalidate") X(get, "get") X(add_done_callback, "add_done_callback")                               \
    X(get_context, "get_context") X(get_loop, "get_loop") X(create_task, "create_task") X(discard, "discard")     \
    X(remove_done_callback, "remove_done_callback")
// clang-format on
VELMO_NAMES(Names, AIO_NAMES)

struct State : Names {
    PyObject* globals;        // the module's namespace
    PyObject* in_session;     // the wrapper execute_in_connection hands to the template (kept)
    PyObject* given_session;  // sync_session_class of the AsyncSession over an owned session (kept)
    // Keyword names of the calls made.
    PyObject *kw_session, *kw_kestrum, *kw_sync_session_class;
    sessions::FactoryCache factories;  // get_ori_session's, one per session object
    // Transactions that outlive their task (tasks.cpp): GreenletVelmoSqlSession.connection_local,
    // asyncio.current_task, the functions handed to greenlet_spawn, and the closing tasks while
    // they run (all kept).
    PyObject *connection_local, *current_task;
    PyObject *begin_in_task, *close_in_task, *close_abandoned, *reapers;
};
extern State state;

// VelmoSqlSession's methods (session_methods.hpp). Bodies of their own: session.cpp
// (construction, get_ori_session), spawn.cpp (begin_tx, close), connection.cpp
// (execute_in_connection).
#define AIO_OWN_BODIES(X) X(init) X(get_ori_session) X(begin_tx) X(close) X(execute_in_connection)
AIO_OWN_BODIES(VELMO_SESSION_OWN)

// The other methods, each an awaitable (spawn.cpp): greenlet_spawn(self.sync_session.<name>,
// *args), the body's data the method's name in the state.
Ref spawn_body(const Args& a);
#define AIO_SPAWN(name)                                 \
    inline constexpr rt::Body name##_body = spawn_body; \
    inline constexpr const void* name##_data = &state.s_##name;
// clang-format off
#define AIO_SPAWNED(X)                                                                                                \
    X(execute_sql) X(select_one) X(select_list) X(select_page) X(insert) X(delete) X(update) X(add) X(add_all)       \
    X(select_all_orm2) X(select_one_orm2) X(delete_orm2) X(update_orm2) X(insert_orm2) X(commit) X(rollback)
// clang-format on
AIO_SPAWNED(AIO_SPAWN)

// ---- connection.cpp ----

Ref in_session_fn(const Args& a);
Ref given_session_fn(const Args& a);

// ---- tasks.cpp ----

// (code, lasti) of the application's frame that calls begin_tx(), or None.
Ref call_site();
Ref begin_in_task_fn(const Args& a);
Ref close_in_task_fn(const Args& a);
Ref close_abandoned_fn(const Args& a);

}  // namespace velmo::aio
