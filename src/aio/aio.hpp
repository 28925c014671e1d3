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

namespace velmo::aio {

using rt::Args;
using rt::Ref;

struct State {
    PyObject* globals;        // the module's namespace
    PyObject* in_session;     // the wrapper execute_in_connection hands to the template (kept)
    PyObject* given_session;  // sync_session_class of the AsyncSession over an owned session (kept)

    // Names looked up on objects.
    PyObject *n_sync_session, *n_mapper_dict, *n_data_source, *n_kestrum, *n_sync_engine, *n_dialect,
        *n_is_async, *n_close, *n_execute_in_connection;
    PyObject *n_begin_tx, *n_execute_sql, *n_select_one, *n_select_list, *n_select_page, *n_insert,
        *n_delete, *n_update, *n_add, *n_add_all, *n_select_all_orm2, *n_select_one_orm2,
        *n_delete_orm2, *n_update_orm2, *n_insert_orm2, *n_commit, *n_rollback;
    // Module globals read at call time.
    PyObject *g_greenlet_spawn, *g_await, *g_partial, *g_isawaitable, *g_iscoroutinefunction,
        *g_engine, *g_async_engine, *g_async_session, *g_async_sessionmaker, *g_sql_template,
        *g_greenlet_session;
    // Keyword names of the calls made.
    PyObject *kw_session, *kw_kestrum, *kw_sync_session_class;
};
extern State state;

// A module global (then a builtin) by name, looked up now.
Ref global(PyObject* name);

// ---- session.cpp ----

Ref init_fn(const Args& a);
Ref get_ori_session_fn(const Args& a);

// ---- spawn.cpp ----

Ref begin_tx_fn(const Args& a);
Ref execute_sql_fn(const Args& a);
Ref select_one_fn(const Args& a);
Ref select_list_fn(const Args& a);
Ref select_page_fn(const Args& a);
Ref insert_fn(const Args& a);
Ref delete_fn(const Args& a);
Ref update_fn(const Args& a);
Ref add_fn(const Args& a);
Ref add_all_fn(const Args& a);
Ref select_all_orm2_fn(const Args& a);
Ref select_one_orm2_fn(const Args& a);
Ref delete_orm2_fn(const Args& a);
Ref update_orm2_fn(const Args& a);
Ref insert_orm2_fn(const Args& a);
Ref commit_fn(const Args& a);
Ref rollback_fn(const Args& a);
Ref close_fn(const Args& a);

// spawn(fn, *args) for the greenlet_spawn global already looked up: the coroutine that runs
// fn(*args) in SQLAlchemy's greenlet.
Ref spawn_call(PyObject* spawn, PyObject* fn, std::initializer_list<PyObject*> args);

// ---- connection.cpp ----

Ref execute_in_connection_fn(const Args& a);
Ref in_session_fn(const Args& a);
Ref given_session_fn(const Args& a);

}  // namespace velmo::aio
