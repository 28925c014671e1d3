// The session context that every template operation runs in: SqlTemplate.get_session as a
// native generator under contextlib.contextmanager, and the same steps run directly when the
// instance's get_session is that one (no context manager objects on the common road).
#include "kestrum.hpp"

using namespace velmo::rt;

namespace velmo::kestrum {

namespace {

// get_session as a generator: start = steps 1-3 (yield the session); resume = leave the block.
class GetSessionBody final : public GeneratorBody {
public:
    GetSessionBody(PyObject* self, PyObject* session) : self_(Ref::borrow(self)), session_(Ref::borrow(session)) {}

    Step resume(PyObject*, PyObject* thrown) override {
        if (!started_) {
            started_ = true;
            session_ = open_session(self_.get(), session_.get(), owned_);
            return Step::yield(session_);
        }
        Ref session = session_;  // alive while its methods run, whatever they do to us
        if (thrown) leave_session_failed(session.get(), owned_, Ref::borrow(thrown));
        leave_session(session.get(), owned_);
        return Step::finish();
    }
    int traverse(visitproc visit, void* arg) override {
        Py_VISIT(self_.get());
        Py_VISIT(session_.get());
        return 0;
    }
    void clear() override {
        self_ = Ref{};
        session_ = Ref{};
    }

private:
    Ref self_;
    Ref session_;
    bool owned_ = false;
    bool started_ = false;
};

// An attribute found on the type, bound to obj, as the with statement looks up __enter__ and
// __exit__; empty when the type has none.
Ref lookup_special(PyObject* obj, PyObject* name) {
    PyObject* found = internals::type_lookup(Py_TYPE(obj), name);
    if (!found) return {};
    Ref keep = Ref::borrow(found);
    if (descrgetfunc get = Py_TYPE(found)->tp_descr_get)
        return Ref::steal(get(found, obj, reinterpret_cast<PyObject*>(Py_TYPE(obj))));
    return keep;
}

// True when the MRO of the recorded context manager class and every class dict in it hold the
// same objects as at import (a change that was undone again).
bool generator_cm_as_recorded() {
    auto* type = reinterpret_cast<PyTypeObject*>(state.generator_cm);
    PyObject* mro = type->tp_mro;
    Py_ssize_t n = PyTuple_GET_SIZE(state.generator_cm_mro);
    if (!mro || PyTuple_GET_SIZE(mro) != n) return false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* cls = PyTuple_GET_ITEM(mro, i);
        if (cls != PyTuple_GET_ITEM(state.generator_cm_mro, i)) return false;
        PyObject* saved = PyList_GET_ITEM(state.generator_cm_dicts, i);
        if (saved == Py_None) continue;  // a static type: immutable
        Ref now = Ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(cls)));
        if (PyDict_GET_SIZE(now.get()) != PyDict_GET_SIZE(saved)) return false;
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(saved, &pos, &key, &value))
            if (dict_get(now.get(), key).get() != value) return false;
    }
    return true;
}

// True while _GeneratorContextManager (and its bases) are as at import: the class's version tag
// moves on any change, so the common test is one comparison.
bool generator_cm_unchanged() {
    return state.generator_cm_watch.holds(reinterpret_cast<PyTypeObject*>(state.generator_cm),
                                          [](PyTypeObject*) { return generator_cm_as_recorded(); });
}

// True when `bound` is self.get_session as the class defines it and contextlib still builds
// its usual context manager: then running the steps directly is indistinguishable.
bool is_own_get_session(PyObject* bound, PyObject* self) {
    if (!PyMethod_Check(bound) || PyMethod_GET_FUNCTION(bound) != state.get_session_helper ||
        PyMethod_GET_SELF(bound) != self || !state.generator_cm_mro)
        return false;
    Ref cm = dict_get(state.contextlib_dict, state.s_GeneratorContextManager);
    return cm.get() == state.generator_cm && generator_cm_unchanged();
}

// What reaches the caller when the block raised `value` and leaving the session raised
// `raised`, after the generator and contextlib have had their say: contextlib re-raises the
// block's own exception when the generator hands it back (also as the RuntimeError that a
// StopIteration becomes), and anything else as raised.
[[noreturn]] void raise_after_failed_block(Ref value, Ref raised) {
    if (raised.get() == value.get()) reraise(std::move(value));
    raised = convert_stop_iteration(std::move(raised));
    if (PyErr_GivenExceptionMatches(value.get(), PyExc_StopIteration) &&
        PyObject_TypeCheck(raised.get(), reinterpret_cast<PyTypeObject*>(PyExc_RuntimeError))) {
        Ref cause = Ref::steal_or_null(PyException_GetCause(raised.get()));
        if (cause.get() == value.get()) reraise(std::move(value));
    }
    reraise(std::move(raised));
}

// The with statement over any context manager that self.get_session returned.
Ref with_protocol(PyObject* get_session, PyObject* con, SessionBody body, void* data) {
    Ref mgr = con ? call(get_session, {con}) : call(get_session);
    Ref enter = lookup_special(mgr.get(), state.s_enter);
    if (!enter)
        raise_format(PyExc_TypeError, "'%.200s' object does not support the context manager protocol",
                     Py_TYPE(mgr.get())->tp_name);
    Ref exit = lookup_special(mgr.get(), state.s_exit);
    if (!exit)
        raise_format(PyExc_TypeError,
                     "'%.200s' object does not support the context manager protocol (missed "
                     "__exit__ method)",
                     Py_TYPE(mgr.get())->tp_name);
    Ref session = call(enter.get());
    Ref result;
    try {
        result = body(session.get(), data);
    } catch (...) {
        Ref value = take_current_exception();
        {
            HandlingScope handling(value.get());
            Ref tb = Ref::steal_or_null(PyException_GetTraceback(value.get()));
            Ref suppress = call(
                exit.get(), {reinterpret_cast<PyObject*>(Py_TYPE(value.get())), value.get(), tb ? tb.get() : Py_None});
            if (truthy(suppress.get())) return Ref{};
        }
        reraise(std::move(value));
    }
    call(exit.get(), {Py_None, Py_None, Py_None});
    return result;
}

}  // namespace

void raise_unbound_local(const char* name) {
    raise_format(PyExc_UnboundLocalError, "cannot access local variable '%s' where it is not associated with a value",
                 name);
}

Ref open_session(PyObject* self, PyObject* session, bool& owned) {
    owned = true;
    if (truthy(session)) {
        sessions::refuse_async(session, "SqlTemplate", "Session");
        owned = false;
        return Ref::borrow(session);
    }
    Ref maker = load_global(state.globals, state.s_sessionmaker);
    Ref bind = getattr(self, state.s_data_source);
    Ref factory = state.factories.factory(self, maker.get(), bind.get(), state.kw_session);
    return call(factory.get());
}

void leave_session(PyObject* session, bool owned) {
    if (!owned) return;
    try {
        call_method(session, state.s_commit);
    } catch (...) {
        leave_session_failed(session, owned, take_current_exception());
    }
    call_method(session, state.s_close);
}

void leave_session_failed(PyObject* session, bool owned, Ref exc) {
    // except Exception: rollback, re-raise; finally: close. Each cleanup call runs with the
    // exception in flight as the one being handled, so its own failure chains to it.
    if (PyErr_GivenExceptionMatches(exc.get(), PyExc_Exception)) {
        HandlingScope handling(exc.get());
        try {
            call_method(session, state.s_rollback);
        } catch (...) {
            exc = take_current_exception();
        }
    }
    if (owned) {
        HandlingScope handling(exc.get());
        try {
            call_method(session, state.s_close);
        } catch (...) {
            exc = take_current_exception();
        }
    }
    reraise(std::move(exc));
}

void record_generator_cm() {
    if (!PyType_Check(state.generator_cm)) return;  // no fast path
    auto* type = reinterpret_cast<PyTypeObject*>(state.generator_cm);
    Ref mro = Ref::borrow(type->tp_mro);
    Ref dicts = Ref::steal(PyList_New(0));
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro.get()); ++i) {
        auto* cls = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro.get(), i));
        Ref copy = none();
        if (cls->tp_flags & Py_TPFLAGS_HEAPTYPE) {
            Ref dict = Ref::steal(PyType_GetDict(cls));
            copy = Ref::steal(PyDict_Copy(dict.get()));
        }
        check(PyList_Append(dicts.get(), copy.get()));
    }
    state.generator_cm_dicts = dicts.release();
    state.generator_cm_mro = mro.release();
}

Ref get_session_generator(PyObject* self, PyObject* session) {
    return make_generator<GetSessionBody>(state.get_session_qualname, self, session);
}

Ref with_session(PyObject* self, PyObject* con, SessionBody body, void* data) {
    NestingGuard guard;
    Ref bound = getattr(self, state.s_get_session);
    if (!is_own_get_session(bound.get(), self)) return with_protocol(bound.get(), con, body, data);

    bool owned = false;
    Ref session;
    try {
        session = open_session(self, con ? con : Py_None, owned);
    } catch (...) {
        // Raised inside the generator on the other road, where StopIteration becomes RuntimeError.
        reraise(convert_stop_iteration(take_current_exception()));
    }
    Ref result;
    try {
        result = body(session.get(), data);
    } catch (...) {
        Ref value = take_current_exception();
        try {
            leave_session_failed(session.get(), owned, value);
        } catch (...) {
            raise_after_failed_block(std::move(value), take_current_exception());
        }
    }
    try {
        leave_session(session.get(), owned);
    } catch (...) {
        // A StopIteration leaving the generator becomes RuntimeError on the way out of __exit__.
        reraise(convert_stop_iteration(take_current_exception()));
    }
    return result;
}

}  // namespace velmo::kestrum
