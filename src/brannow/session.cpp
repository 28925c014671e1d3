// VelmoSqlSession itself: construction, the current transaction session held in the class's
// context variable, and begin / commit / rollback / close of an explicit transaction.
#include "brannow.hpp"

using namespace velmo::rt;

namespace velmo::brannow {

namespace {

// self.connection_local: read from the ContextVar directly when it is one (the type is final,
// so its get and set cannot be replaced).
Ref context_variable(PyObject* self) { return getattr(self, state.s_connection_local); }

Ref variable_get(PyObject* var) {
    if (PyContextVar_CheckExact(var)) {
        PyObject* value = nullptr;
        check(PyContextVar_Get(var, nullptr, &value));
        if (value) return Ref::steal(value);
        // No value and no default: get() raises the LookupError.
    }
    return call_method(var, state.s_get);
}

void variable_set(PyObject* var, PyObject* value) {
    if (PyContextVar_CheckExact(var))
        Ref::steal(PyContextVar_Set(var, value));  // the token is discarded
    else
        call_method(var, state.s_set, {value});
}

// sessionmaker(bind=self.data_source, expire_on_commit=False)(), the factory made once per
// session object and data source while sessionmaker is SQLAlchemy's.
Ref new_session(PyObject* self) {
    Ref maker = load_global(state.globals, state.s_sessionmaker);
    Ref bind = getattr(self, state.s_data_source);
    Ref factory = state.factories.factory(self, maker.get(), bind.get(), state.kw_session);
    return call(factory.get());
}

// connection = self.__con(); if connection: connection.<name>(). Returns the truth tested.
bool on_current(PyObject* self, PyObject* name) {
    NestingGuard guard;
    Ref connection = current_session(self);
    if (!truthy(connection.get())) return false;
    call_method(connection.get(), name);
    return true;
}

}  // namespace

Ref current_session(PyObject* self) {
    if (is_own_method(self, state.s_con, state.own_con)) {
        NestingGuard guard;
        return variable_get(context_variable(self).get());
    }
    Ref method = getattr(self, state.s_con);
    return call(method.get());
}

Ref init_fn(const Args& a) {
    PyObject *self = a[0], *mapper_dict = a[1], *data_source = a[2], *kestrum = a[3];
    NestingGuard guard;
    sessions::refuse_async(data_source, "VelmoSqlSession", "Engine");
    setattr(self, state.s_mapper_dict, mapper_dict);
    setattr(self, state.s_data_source, data_source);
    if (truthy(kestrum)) {
        setattr(self, state.s_kestrum, kestrum);
        Ref bind = getattr(kestrum, state.s_data_source);
        sessions::refuse_async(bind.get(), "VelmoSqlSession", "Engine");
        setattr(self, state.s_data_source, bind.get());
    } else if (truthy(data_source)) {
        Ref cls = load_global(state.globals, state.s_SqlTemplate);
        Ref made = call(cls.get(), {data_source});
        setattr(self, state.s_kestrum, made.get());
    } else {
        raise_exception("kestrum can't init");
    }
    return none();
}

Ref con_fn(const Args& a) {
    NestingGuard guard;
    return variable_get(context_variable(a[0]).get());
}

Ref get_ori_session_fn(const Args& a) {
    NestingGuard guard;
    return new_session(a[0]);
}

Ref begin_tx_fn(const Args& a) {
    NestingGuard guard;
    Ref session = new_session(a[0]);
    variable_set(context_variable(a[0]).get(), session.get());
    return none();
}

Ref execute_in_connection_fn(const Args& a) {
    NestingGuard guard;
    Ref kestrum = getattr(a[0], state.s_kestrum);
    return call_method(kestrum.get(), state.s_execute_in_connection, {a[1]});
}

Ref commit_fn(const Args& a) {
    on_current(a[0], state.s_commit);
    return none();
}

Ref rollback_fn(const Args& a) {
    on_current(a[0], state.s_rollback);
    return none();
}

// connection = self.__con()
// if connection:
//     try:
//         connection.close()
//     except BaseException:
//         self.connection_local.set(None)
//         try:
//             connection.invalidate()
//         except Exception:
//             pass
//         raise
//     self.connection_local.set(None)
//
// A close that raises still ends the transaction here: left current, it would take the next
// statement of this thread or task into a session that nobody commits. SQLAlchemy's
// Session.close() forgets its transaction before it closes the transaction's connections. A
// connection whose rollback failed because the server went away is invalidated by SQLAlchemy
// and already back in the pool; one that failed otherwise is held only by the frames of the
// error's traceback and goes back when the error is let go. A close that raised before the
// session forgot its transaction (a listener of the session's events, say) leaves the
// connections checked out: invalidate() gives them back, discarding them rather than trusting a
// session whose close failed. The caller gets the close error itself, never an Exception of
// invalidate() (a KeyboardInterrupt or SystemExit there wins, the close error as its context).
Ref close_fn(const Args& a) {
    PyObject* self = a[0];
    NestingGuard guard;
    Ref connection = current_session(self);
    if (!truthy(connection.get())) return none();
    try {
        call_method(connection.get(), state.s_close);
    } catch (...) {
        Ref error = take_current_exception();
        {
            HandlingScope handling(error.get());
            variable_set(context_variable(self).get(), Py_None);
            try {
                call_method(connection.get(), state.s_invalidate);
            } catch (...) {
                Ref dropped = take_current_exception();
                if (!PyErr_GivenExceptionMatches(dropped.get(), PyExc_Exception)) reraise(std::move(dropped));
            }
        }
        reraise(std::move(error));
    }
    variable_set(context_variable(self).get(), Py_None);
    return none();
}

}  // namespace velmo::brannow
