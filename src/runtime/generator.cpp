// The native generator object type (see generator.hpp).
#include "generator.hpp"

#include <cstddef>

#include "boundary.hpp"

namespace velmo::rt {

namespace {

enum class GenState : uint8_t { Created, Suspended, Running, Finished };

struct Generator {
    PyObject_VAR_HEAD GeneratorBody* body;  // lives in the object's trailing storage; NULL once destroyed
    PyObject* qualname;
    PyObject* weakreflist;
    GenState state;
};

// The body storage starts here, aligned for any body type.
constexpr size_t body_offset =
    (sizeof(Generator) + detail::body_alignment - 1) / detail::body_alignment * detail::body_alignment;

Generator* as_gen(PyObject* o) noexcept { return reinterpret_cast<Generator*>(o); }

// Releases what the body holds once it has finished, as a finished generator frees its frame.
void finish(Generator* g) noexcept {
    g->state = GenState::Finished;
    if (g->body) g->body->clear();
}

[[noreturn]] void raise_executing() { raise(PyExc_ValueError, "generator already executing"); }

// StopIteration(value) as the pending exception; a return of None gives a bare StopIteration.
void set_stop_iteration(PyObject* value) {
    if (value == Py_None) {
        PyErr_SetNone(PyExc_StopIteration);
        return;
    }
    // Built explicitly: PyErr_SetObject would unpack a tuple value into the arguments.
    Ref exc = call(PyExc_StopIteration, {value});
    PyErr_SetObject(PyExc_StopIteration, exc.get());
}

enum class Outcome { Yielded, Returned, Raised };

// Runs one step of the body. Yielded and Returned leave the value in `out`; Raised leaves the
// exception set (a StopIteration converted to RuntimeError first).
Outcome run_step(Generator* g, PyObject* sent, PyObject* thrown, Ref& out) noexcept {
    g->state = GenState::Running;
    Ref exc;
    try {
        Step s = g->body->resume(sent, thrown);
        out = std::move(s.value);
        if (s.done) {
            finish(g);
            return Outcome::Returned;
        }
        g->state = GenState::Suspended;
        return Outcome::Yielded;
    } catch (...) {
        // Held aside while the body's references go: their release may run Python code.
        exc = take_current_exception();
    }
    finish(g);
    try {
        PyErr_SetRaisedException(convert_stop_iteration(std::move(exc)).release());
    } catch (...) {
        // The conversion itself failed; its error is set.
    }
    return Outcome::Raised;
}

// send(value) and __next__ share this; `value` NULL means __next__, whose end of iteration
// after a None return is a NULL result with no exception set (an empty Ref).
PyObject* gen_send_impl(Generator* g, PyObject* value) {
    return entry_point([&]() -> Ref {
        if (g->state == GenState::Created && value && value != Py_None)
            raise(PyExc_TypeError, "can't send non-None value to a just-started generator");
        if (g->state == GenState::Running) raise_executing();
        if (g->state == GenState::Finished) {
            if (!value) return Ref{};
            PyErr_SetNone(PyExc_StopIteration);
            throw_error();
        }
        Ref out;
        switch (run_step(g, value ? value : Py_None, nullptr, out)) {
            case Outcome::Yielded: return out;
            case Outcome::Returned:
                if (!value && out.get() == Py_None) return Ref{};
                set_stop_iteration(out.get());
                break;
            case Outcome::Raised: break;
        }
        throw_error();
    });
}

PyObject* gen_iternext(PyObject* self) { return gen_send_impl(as_gen(self), nullptr); }

PyObject* gen_send(PyObject* self, PyObject* value) { return gen_send_impl(as_gen(self), value); }

// The exception instance that throw(typ[, val[, tb]]) raises, as CPython builds it.
Ref exception_to_throw(PyObject* typ, PyObject* val, PyObject* tb) {
    if (tb == Py_None) tb = nullptr;
    if (tb && !PyTraceBack_Check(tb)) raise(PyExc_TypeError, "throw() third argument must be a traceback object");
    if (PyExceptionClass_Check(typ)) {
        if (val && PyExceptionInstance_Check(val) && check(PyObject_IsInstance(val, typ))) {
            if (tb) check(PyException_SetTraceback(val, tb));
            return Ref::borrow(val);
        }
        // PyErr_Restore normalises (type, value) into an instance of type.
        PyErr_Restore(Py_NewRef(typ), Py_XNewRef(val), Py_XNewRef(tb));
        return Ref::steal(PyErr_GetRaisedException());
    }
    if (PyExceptionInstance_Check(typ)) {
        if (val && val != Py_None) raise(PyExc_TypeError, "instance exception may not have a separate value");
        if (tb) check(PyException_SetTraceback(typ, tb));
        return Ref::borrow(typ);
    }
    raise_format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                 Py_TYPE(typ)->tp_name);
}

PyObject* gen_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    Generator* g = as_gen(self);
    return entry_point([&]() -> Ref {
        if (nargs < 1) raise_format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
        if (nargs > 3) raise_format(PyExc_TypeError, "throw expected at most 3 arguments, got %zd", nargs);
        if (nargs > 1)
            check(PyErr_WarnEx(PyExc_DeprecationWarning,
                               "the (type, exc, tb) signature of throw() is deprecated, "
                               "use the single-arg signature instead.",
                               1));
        Ref exc = exception_to_throw(args[0], nargs > 1 ? args[1] : nullptr, nargs > 2 ? args[2] : nullptr);
        if (g->state == GenState::Running) raise_executing();
        if (g->state != GenState::Suspended) {
            // Before the first step the exception is raised where the body would start; after
            // the last it is simply raised. Either way the body does not run.
            finish(g);
            PyErr_SetRaisedException(exc.release());
            throw_error();
        }
        Ref out;
        switch (run_step(g, Py_None, exc.get(), out)) {
            case Outcome::Yielded: return out;
            case Outcome::Returned: set_stop_iteration(out.get()); break;
            case Outcome::Raised: break;
        }
        throw_error();
    });
}

PyObject* gen_close(PyObject* self, PyObject*) {
    Generator* g = as_gen(self);
    return entry_point([&]() -> Ref {
        if (g->state == GenState::Created || g->state == GenState::Finished) {
            finish(g);
            return none();
        }
        if (g->state == GenState::Running) raise_executing();
        Ref exit = call(PyExc_GeneratorExit);
        Ref out;
        switch (run_step(g, Py_None, exit.get(), out)) {
            case Outcome::Yielded: raise(PyExc_RuntimeError, "generator ignored GeneratorExit");
            case Outcome::Returned: return out;
            case Outcome::Raised:
                if (PyErr_ExceptionMatches(PyExc_GeneratorExit)) {
                    PyErr_Clear();
                    return none();
                }
                break;
        }
        throw_error();
    });
}

// A suspended generator that becomes garbage is closed, as Python's generators are.
void gen_finalize(PyObject* self) {
    if (as_gen(self)->state != GenState::Suspended) return;
    PyObject* saved = PyErr_GetRaisedException();
    PyObject* r = gen_close(self, nullptr);
    if (r)
        Py_DECREF(r);
    else
        PyErr_WriteUnraisable(self);
    PyErr_SetRaisedException(saved);
}

int gen_traverse(PyObject* self, visitproc visit, void* arg) {
    Generator* g = as_gen(self);
    Py_VISIT(g->qualname);
    return g->body ? g->body->traverse(visit, arg) : 0;
}

int gen_clear(PyObject* self) {
    Generator* g = as_gen(self);
    if (g->body) g->body->clear();
    return 0;
}

void gen_dealloc(PyObject* self) {
    Generator* g = as_gen(self);
    PyObject_GC_UnTrack(self);
    if (g->weakreflist) PyObject_ClearWeakRefs(self);
    if (g->body && g->state == GenState::Suspended) {
        PyObject_GC_Track(self);
        if (PyObject_CallFinalizerFromDealloc(self)) return;  // resurrected
        PyObject_GC_UnTrack(self);
    }
    if (g->body) {
        g->body->~GeneratorBody();
        g->body = nullptr;
    }
    Py_CLEAR(g->qualname);
    PyObject_GC_Del(self);
}

PyObject* gen_repr(PyObject* self) {
    return PyUnicode_FromFormat("<%s object %U at %p>", Py_TYPE(self)->tp_name, as_gen(self)->qualname, self);
}

PyObject* get_running(PyObject* self, void*) { return PyBool_FromLong(as_gen(self)->state == GenState::Running); }
PyObject* get_suspended(PyObject* self, void*) { return PyBool_FromLong(as_gen(self)->state == GenState::Suspended); }
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_gen(self)->qualname); }

PyGetSetDef gen_getset[] = {
    {"gi_running", get_running, nullptr, nullptr, nullptr},
    {"gi_suspended", get_suspended, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef gen_methods[] = {
    {"send", gen_send, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(gen_throw)), METH_FASTCALL, nullptr},
    {"close", gen_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject generator_type = [] {
    PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
    t.tp_name = "velmo_generator";
    t.tp_basicsize = static_cast<Py_ssize_t>(body_offset);
    t.tp_itemsize = 1;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    t.tp_dealloc = gen_dealloc;
    t.tp_traverse = gen_traverse;
    t.tp_clear = gen_clear;
    t.tp_finalize = gen_finalize;
    t.tp_repr = gen_repr;
    t.tp_iter = PyObject_SelfIter;
    t.tp_iternext = gen_iternext;
    t.tp_methods = gen_methods;
    t.tp_getset = gen_getset;
    t.tp_weaklistoffset = offsetof(Generator, weakreflist);
    return t;
}();

}  // namespace

namespace detail {

PyObject* allocate_generator(PyObject* qualname, size_t size, void** storage) {
    if (!(generator_type.tp_flags & Py_TPFLAGS_READY)) check(PyType_Ready(&generator_type));
    // The allocation is aligned like any object's (16 bytes), so the storage at body_offset is.
    Generator* g = PyObject_GC_NewVar(Generator, &generator_type, static_cast<Py_ssize_t>(size));
    if (!g) throw_error();
    g->body = nullptr;
    g->qualname = Py_NewRef(qualname);
    g->weakreflist = nullptr;
    g->state = GenState::Created;
    *storage = reinterpret_cast<char*>(g) + body_offset;
    return reinterpret_cast<PyObject*>(g);
}

void activate_generator(PyObject* gen, GeneratorBody* body) noexcept {
    as_gen(gen)->body = body;
    PyObject_GC_Track(gen);
}

}  // namespace detail

Ref convert_stop_iteration(Ref exc) {
    if (!PyErr_GivenExceptionMatches(exc.get(), PyExc_StopIteration)) return exc;
    Ref error = call(PyExc_RuntimeError, {str("generator raised StopIteration").get()});
    PyException_SetCause(error.get(), Py_NewRef(exc.get()));
    PyException_SetContext(error.get(), exc.release());
    return error;
}

}  // namespace velmo::rt
