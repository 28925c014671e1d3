// Transactions that outlive their task.
//
// A transaction is the session current in a task's context. A task that ends without close()
// leaves it there: the context, held by whatever still holds the task, keeps the session, and the
// session its pooled connection, for good. So begin_tx, awaited in a task, asks the task to call
// back when it is done, and close() in the same task withdraws the request. If the callback runs,
// nothing but the task holds its context, and the transaction the task began is still the
// current one of that context, it is no longer current there, a task of its own closes it in
// SQLAlchemy's greenlet (closing an asyncio connection needs the event loop; a close that fails
// invalidates the session, discarding its connections), and a ResourceWarning names the
// begin_tx() call.
//
// What a closed transaction costs: the caller's frame read at the call, asyncio.current_task(),
// an entry in the table of watched tasks, and adding and removing the callback (one object for
// every task); no callback is scheduled when the task ends.
#include <unordered_map>

#include "aio.hpp"

using namespace velmo::rt;

namespace velmo::aio {

namespace {

// A watched task: the transaction it began last and where, (code, lasti) of the begin_tx() call
// or None. The entry holds the task until its callback runs or close() withdraws it.
struct Watch {
    Ref task, session, where;
};
std::unordered_map<PyObject*, Watch> watched;

PyObject* reap_entry(PyObject* self, PyObject* task);
PyMethodDef reap_def{"reap", reap_entry, METH_O, nullptr};
PyObject* reap_callback = nullptr;  // the done callback of every watched task (kept)

Ref variable_get(PyObject* var) {
    PyObject* value = nullptr;
    check(PyContextVar_Get(var, Py_None, &value));
    return Ref::steal(value);
}

// After begin(), in the greenlet (whose context is the task's).
void watch(PyObject* where) {
    Ref session = variable_get(state.connection_local);
    if (session.get() == Py_None) return;
    Ref task = call(state.current_task);
    if (task.get() == Py_None) return;
    if (auto found = watched.find(task.get()); found != watched.end()) {
        // begin_tx() again before close(): the callback stands, for the newer transaction.
        Watch older = std::exchange(found->second, Watch{task, session, Ref::borrow(where)});
        return;
    }
    if (!reap_callback) reap_callback = check(PyCFunction_New(&reap_def, nullptr));
    call_method(task.get(), state.s_add_done_callback, {reap_callback});
    watched.insert_or_assign(task.get(), Watch{task, session, Ref::borrow(where)});
}

// After close(), in the greenlet: the transaction is no longer current, and the task that began
// it (this one) need not call back.
void unwatch() {
    if (watched.empty()) return;
    Ref task = call(state.current_task);
    auto found = watched.find(task.get());
    if (found == watched.end() || variable_get(state.connection_local).get() != Py_None) return;
    Watch done = std::move(found->second);
    watched.erase(found);
    call_method(task.get(), state.s_remove_done_callback, {reap_callback});
}

// The ResourceWarning for a transaction that its task left open, at where = (code, lasti).
void warn(PyObject* where) {
    Ref filename;
    int line = 0;
    if (PyTuple_Check(where)) {
        auto* code = reinterpret_cast<PyCodeObject*>(PyTuple_GET_ITEM(where, 0));
        int lasti = PyLong_AsInt(PyTuple_GET_ITEM(where, 1));
        if (lasti == -1 && PyErr_Occurred()) throw_error();
        filename = Ref::borrow(code->co_filename);
        line = PyCode_Addr2Line(code, lasti);
    }
    Ref at = filename ? Ref::steal(PyUnicode_FromFormat("%U:%d", filename.get(), line)) : str("an unknown place");
    Ref message = Ref::steal(PyUnicode_FromFormat(
        "transaction begun by begin_tx() at %U was still open when its task ended: velmo closed it, discarding "
        "what it had not committed; end a transaction with close() in a finally block, or use "
        "'async with velmo.transaction(session)'",
        at.get()));
    if (filename)
        check(PyErr_WarnExplicitObject(PyExc_ResourceWarning, message.get(), filename.get(), line, nullptr, nullptr));
    else
        check(PyErr_WarnEx(PyExc_ResourceWarning, utf8(message.get()).data(), 1));
}

// reap(task): the done callback of a watched task.
Ref reap(PyObject* task) {
    NestingGuard guard;
    auto found = watched.find(task);
    if (found == watched.end()) return none();
    Watch done = std::move(found->second);
    watched.erase(found);
    Ref context = call_method(task, state.s_get_context);
    // A context that something besides the task and this frame holds (one handed to
    // create_task(context=...) of several tasks, say) outlives the task, and its transaction
    // with it.
    if (Py_REFCNT(context.get()) > 2) return none();
    Ref current = call_method(context.get(), state.s_get, {state.connection_local});
    if (current.get() != done.session.get()) return none();
    // No longer the task's transaction: its context stops holding the session.
    check(PyContext_Enter(context.get()));
    PyObject* token = PyContextVar_Set(state.connection_local, Py_None);
    check(PyContext_Exit(context.get()));
    Ref::steal(token);
    // task.get_loop().create_task(greenlet_spawn(close_abandoned, session)), kept until done.
    Ref spawn = load_global(state.globals, state.s_greenlet_spawn);
    Ref closing = call(spawn.get(), {state.close_abandoned, done.session.get()});
    Ref loop = call_method(task, state.s_get_loop);
    Ref reaper = call_method(loop.get(), state.s_create_task, {closing.get()});
    check(PySet_Add(state.reapers, reaper.get()));
    Ref discard = getattr(state.reapers, state.s_discard);
    call_method(reaper.get(), state.s_add_done_callback, {discard.get()});
    warn(done.where.get());
    return none();
}

PyObject* reap_entry(PyObject*, PyObject* task) {
    return entry_point([&] { return reap(task); });
}

}  // namespace

// (code, lasti) of the application's call of begin_tx(), or None.
Ref call_site() {
    Ref frame = application_frame();
    if (!frame) return none();
    auto* f = reinterpret_cast<PyFrameObject*>(frame.get());
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(f)));
    Ref lasti = integer(PyFrame_GetLasti(f));
    return tuple({code.get(), lasti.get()});
}

// begin_in_task(begin, where): begin(), then the watch of the task it ran in.
Ref begin_in_task_fn(const Args& a) {
    NestingGuard guard;
    Ref result = call(a[0]);
    watch(a[1]);
    return result;
}

// close_in_task(close): close(), then the watch withdrawn; close() ends the transaction also when
// it raises.
Ref close_in_task_fn(const Args& a) {
    NestingGuard guard;
    Ref result;
    try {
        result = call(a[0]);
    } catch (...) {
        Ref error = take_current_exception();
        {
            HandlingScope handling(error.get());
            unwatch();
        }
        reraise(std::move(error));
    }
    unwatch();
    return result;
}

// close_abandoned(session), in the greenlet: session.close(); when that raises, the session is
// invalidated (its connections are discarded, not returned as they are) and the error raised.
Ref close_abandoned_fn(const Args& a) {
    PyObject* session = a[0];
    NestingGuard guard;
    try {
        call_method(session, state.s_close);
    } catch (...) {
        Ref error = take_current_exception();
        {
            HandlingScope handling(error.get());
            try {
                call_method(session, state.s_invalidate);
            } catch (...) {
                Ref dropped = take_current_exception();
                if (!PyErr_GivenExceptionMatches(dropped.get(), PyExc_Exception)) reraise(std::move(dropped));
            }
        }
        reraise(std::move(error));
    }
    return none();
}

}  // namespace velmo::aio
