// The awaitable methods: each returns greenlet_spawn(self.sync_session.<name>, *args), so that
// the sync method runs, when the coroutine is awaited, in a greenlet that shares the awaiting
// task's context. Arguments are bound and checked here, at the call, by the same declarations as
// the sync methods; everything else (the missing namespace, the mapper's errors, the database)
// surfaces at the await.
#include "aio.hpp"

using namespace velmo::rt;

namespace velmo::aio {

namespace {

// greenlet_spawn(self.sync_session.<name>, *args), names looked up in the order Python does.
Ref spawn(PyObject* self, PyObject* name, std::initializer_list<PyObject*> args) {
    NestingGuard guard;
    Ref spawn = load_global(state.globals, state.s_greenlet_spawn);
    Ref inner = getattr(self, state.s_sync_session);
    Ref method = getattr(inner.get(), name);
    return call_with_first(spawn.get(), method.get(), args);
}

}  // namespace

// greenlet_spawn(begin_in_task, self.sync_session.begin_tx, <where this is called>): the task that
// awaits it watches the transaction it begins (tasks.cpp).
Ref begin_tx_fn(const Args& a) {
    NestingGuard guard;
    Ref where = call_site();
    Ref spawn = load_global(state.globals, state.s_greenlet_spawn);
    Ref inner = getattr(a[0], state.s_sync_session);
    Ref method = getattr(inner.get(), state.s_begin_tx);
    return call(spawn.get(), {state.begin_in_task, method.get(), where.get()});
}
Ref commit_fn(const Args& a) { return spawn(a[0], state.s_commit, {}); }
Ref rollback_fn(const Args& a) { return spawn(a[0], state.s_rollback, {}); }
// greenlet_spawn(close_in_task, self.sync_session.close): the task withdraws its watch.
Ref close_fn(const Args& a) {
    NestingGuard guard;
    Ref spawn = load_global(state.globals, state.s_greenlet_spawn);
    Ref inner = getattr(a[0], state.s_sync_session);
    Ref method = getattr(inner.get(), state.s_close);
    return call(spawn.get(), {state.close_in_task, method.get()});
}

Ref execute_sql_fn(const Args& a) { return spawn(a[0], state.s_execute_sql, {a[1], a[2], a[3], a[4], a[5]}); }

Ref select_one_fn(const Args& a) { return spawn(a[0], state.s_select_one, {a[1], a[2]}); }
Ref select_list_fn(const Args& a) { return spawn(a[0], state.s_select_list, {a[1], a[2]}); }
Ref select_page_fn(const Args& a) { return spawn(a[0], state.s_select_page, {a[1], a[2], a[3]}); }
Ref insert_fn(const Args& a) { return spawn(a[0], state.s_insert, {a[1], a[2]}); }
Ref delete_fn(const Args& a) { return spawn(a[0], state.s_delete, {a[1], a[2]}); }
Ref update_fn(const Args& a) { return spawn(a[0], state.s_update, {a[1], a[2]}); }
Ref add_fn(const Args& a) { return spawn(a[0], state.s_add, {a[1]}); }
Ref add_all_fn(const Args& a) { return spawn(a[0], state.s_add_all, {a[1]}); }
Ref select_all_orm2_fn(const Args& a) { return spawn(a[0], state.s_select_all_orm2, {a[1]}); }
Ref select_one_orm2_fn(const Args& a) { return spawn(a[0], state.s_select_one_orm2, {a[1]}); }
Ref delete_orm2_fn(const Args& a) { return spawn(a[0], state.s_delete_orm2, {a[1]}); }
Ref update_orm2_fn(const Args& a) { return spawn(a[0], state.s_update_orm2, {a[1]}); }
Ref insert_orm2_fn(const Args& a) { return spawn(a[0], state.s_insert_orm2, {a[1], a[2]}); }

}  // namespace velmo::aio
