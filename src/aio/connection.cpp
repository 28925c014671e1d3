// execute_in_connection: the template's own owned-session road (commit, rollback on an
// Exception, close), run in the greenlet, around a wrapper that suits the callable:
// - a coroutine function gets an AsyncSession over the owned session and is awaited there (its
//   awaits run on the task, the template's commit and close wait for them);
// - a plain function gets the sync Session, as AsyncSession.run_sync does;
// - an awaitable coming back from a plain function is refused inside the session, so that the
//   session is rolled back and closed instead of handing out a coroutine bound to a closed one.
#include "aio.hpp"

using namespace velmo::rt;

namespace velmo::aio {

// greenlet_spawn(self.sync_session.execute_in_connection, partial(in_session, fun))
Ref execute_in_connection_fn(const Args& a) {
    NestingGuard guard;
    Ref spawn = load_global(state.globals, state.s_greenlet_spawn);
    Ref inner = getattr(a[0], state.s_sync_session);
    Ref method = getattr(inner.get(), state.s_execute_in_connection);
    Ref partial = load_global(state.globals, state.s_partial);
    Ref wrapped = call(partial.get(), {state.in_session, a[1]});
    return call(spawn.get(), {method.get(), wrapped.get()});
}

// in_session(fun, session): runs in the greenlet, inside the template's session block.
Ref in_session_fn(const Args& a) {
    PyObject *fun = a[0], *session = a[1];
    NestingGuard guard;
    Ref is_coroutine_function = load_global(state.globals, state.s_iscoroutinefunction);
    if (truthy(call(is_coroutine_function.get(), {fun}).get())) {
        // await_(fun(AsyncSession(sync_session_class=partial(given_session, session))))
        Ref await_ = load_global(state.globals, state.s_await_);
        Ref async_session = load_global(state.globals, state.s_AsyncSession);
        Ref partial = load_global(state.globals, state.s_partial);
        Ref given = call(partial.get(), {state.given_session, session});
        Ref proxy = call_kw(async_session.get(), {given.get()}, state.kw_sync_session_class);
        Ref awaitable = call(fun, {proxy.get()});
        return call(await_.get(), {awaitable.get()});
    }
    Ref result = call(fun, {session});
    Ref is_awaitable = load_global(state.globals, state.s_isawaitable);
    if (truthy(call(is_awaitable.get(), {result.get()}).get())) {
        // A coroutine closed here never warns that it was not awaited.
        if (Ref close = getattr_optional(result.get(), state.s_close)) call(close.get());
        raise(PyExc_TypeError,
              "execute_in_connection(): fun(session) returned an awaitable; pass an async def function "
              "(it gets an AsyncSession and is awaited) or a plain function (it gets the Session)");
    }
    return result;
}

// given_session(session, bind=None, binds=None): AsyncSession's sync_session_class, which hands
// back the owned session instead of making a new one.
Ref given_session_fn(const Args& a) { return Ref::borrow(a[0]); }

}  // namespace velmo::aio
