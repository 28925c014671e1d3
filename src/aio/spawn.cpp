// The awaitable methods: each returns greenlet_spawn(self.sync_session.<name>, *args), so that
// the sync method runs, when the coroutine is awaited, in a greenlet that shares the awaiting
// task's context. Arguments are bound and checked here, at the call, by the same declarations as
// the sync methods; everything else (the missing namespace, the mapper's errors, the database)
// surfaces at the await.
#include "aio.hpp"

using namespace velmo::rt;

namespace velmo::aio {

// greenlet_spawn(self.sync_session.<name>, *args), names looked up in the order Python does.
Ref spawn_body(const Args& a) {
    NestingGuard guard;
    Ref spawn = load_global(state.globals, state.s_greenlet_spawn);
    Ref inner = getattr(a[0], state.s_sync_session);
    Ref method = getattr(inner.get(), a.data<PyObject*>());
    return call_with_first(spawn.get(), method.get(), a.from(1));
}

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
// greenlet_spawn(close_in_task, self.sync_session.close): the task withdraws its watch.
Ref close_fn(const Args& a) {
    NestingGuard guard;
    Ref spawn = load_global(state.globals, state.s_greenlet_spawn);
    Ref inner = getattr(a[0], state.s_sync_session);
    Ref method = getattr(inner.get(), state.s_close);
    return call(spawn.get(), {state.close_in_task, method.get()});
}

}  // namespace velmo::aio
