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

// sessionmaker(bind=self.data_source, expire_on_commit=False)()
Ref new_session(PyObject* self) {
    Ref maker = load_global(state.globals, state.s_sessionmaker);
    Ref bind = getattr(self, state.s_data_source);
    Ref factory = call_kw(maker.get(), {bind.get(), Py_False}, state.kw_session);
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
    refuse_async(data_source, "VelmoSqlSession", "Engine");
    setattr(self, state.s_mapper_dict, mapper_dict);
    setattr(self, state.s_data_source, data_source);
    if (truthy(kestrum)) {
        setattr(self, state.s_kestrum, kestrum);
        Ref bind = getattr(kestrum, state.s_data_source);
        refuse_async(bind.get(), "VelmoSqlSession", "Engine");
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

// A failing close() leaves the session current.
Ref close_fn(const Args& a) {
    if (on_current(a[0], state.s_close)) variable_set(context_variable(a[0]).get(), Py_None);
    return none();
}

}  // namespace velmo::brannow
