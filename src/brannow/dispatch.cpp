// execute_sql, the road of a statement by mapper identifier, and the pass-through operations
// that hand a clause, an ORM statement or ORM objects to the same-named template operation.
#include "brannow.hpp"

using namespace velmo::rt;

namespace velmo::brannow {

namespace {

// self.kestrum.<name>(*args) with self.__con() placed at `con_at`; kwnames names the trailing
// arguments, con included. As in Python, the method is looked up before __con is called.
Ref forward(PyObject* self, PyObject* name, std::span<PyObject* const> args, size_t con_at, PyObject* kwnames) {
    // One free slot in front, so that a bound method can put its self there, then con and the
    // arguments: at most a function's parameters.
    PyObject* stack[1 + 1 + max_params];
    if (args.size() > max_params) raise(PyExc_SystemError, "too many arguments to forward");
    NestingGuard guard;
    Ref kestrum = getattr(self, state.s_kestrum);
    Ref method = getattr(kestrum.get(), name);
    Ref con = current_session(self);
    size_t n = 1;
    for (PyObject* arg : args) {
        if (n - 1 == con_at) stack[n++] = con.get();
        stack[n++] = arg;
    }
    if (n - 1 == con_at) stack[n++] = con.get();
    size_t nargs = n - 1 - static_cast<size_t>(PyTuple_GET_SIZE(kwnames));
    return Ref::steal(PyObject_Vectorcall(method.get(), stack + 1, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

Ref forward(PyObject* self, PyObject* name, std::initializer_list<PyObject*> args, size_t con_at, PyObject* kwnames) {
    return forward(self, name, {args.begin(), args.size()}, con_at, kwnames);
}

// fn(results, result_type, return_type) for `fn` found under the global results_handle; ours
// runs without the binder.
Ref call_results_handle(PyObject* fn, PyObject* results, PyObject* result_type, PyObject* return_type) {
    if (fn == state.own_results_handle) return results_handle(results, result_type, return_type);
    return call(fn, {results, result_type, return_type});
}

Ref select(PyObject* self, PyObject* sql, PyObject* params, PyObject* result_type, PyObject* page,
           PyObject* return_type) {
    if (!truthy(page)) {
        Ref rows = forward(self, state.s_select_list, {sql, params}, 1, state.kw_sql_con_args);
        Ref fn = load_global(state.globals, state.s_results_handle);
        return call_results_handle(fn.get(), rows.get(), result_type, return_type);
    }
    Ref answer = forward(self, state.s_select_page, {sql, page, params}, 2, state.kw_sql_page_con_args);
    // results["list"] = results_handle(results["list"], result_type, return_type): the global is
    // read before the subscript, as the right-hand side evaluates.
    Ref fn = load_global(state.globals, state.s_results_handle);
    Ref rows = Ref::steal(PyObject_GetItem(answer.get(), state.s_list));
    Ref shaped = call_results_handle(fn.get(), rows.get(), result_type, return_type);
    check(PyObject_SetItem(answer.get(), state.s_list, shaped.get()));
    return answer;
}

// Everything execute_sql does once the mapper is found.
Ref run_statement(PyObject* self, const Statement& st, PyObject* ori_params, PyObject* page, PyObject* return_type) {
    Ref answer = call_method_kw(st.mapper, state.s_get_sql, {st.id, ori_params}, state.kw_get_sql);
    // sql, params, sql_type, result_type = answer
    Ref parts[4];
    unpack(answer.get(), parts, 4);
    PyObject *sql = parts[0].get(), *params = parts[1].get(), *sql_type = parts[2].get(), *result_type = parts[3].get();

    PyObject* op = nullptr;
    if (equal(sql_type, state.s_select))
        op = state.s_select_list;
    else if (equal(sql_type, state.s_insert))
        op = state.s_insert;
    else if (equal(sql_type, state.s_delete))
        op = state.s_delete;
    else if (equal(sql_type, state.s_update))
        op = state.s_update;
    else
        return none();
    if (sql_logging_enabled()) log_statement(st, sql, params);
    if (op == state.s_select_list) return select(self, sql, params, result_type, page, return_type);
    return forward(self, op, {sql, params}, 1, state.kw_sql_con_args);
}

// At most this many namespaces are listed in the note of an unknown one.
constexpr Py_ssize_t listed_namespaces = 12;

// "namespace 'user' is not among the mappers (users, orders): did you mean 'users'?"
Ref namespace_note(PyObject* namespace_, PyObject* mappers) {
    Ref names = Ref::steal(PySequence_List(mappers));
    Py_ssize_t n = PyList_GET_SIZE(names.get());
    Ref shown = Ref::steal(PyList_New(0));
    for (Py_ssize_t i = 0; i < n && i < listed_namespaces; ++i)
        check(PyList_Append(shown.get(), Ref::steal(PyObject_Str(PyList_GET_ITEM(names.get(), i))).get()));
    if (n > listed_namespaces) check(PyList_Append(shown.get(), str("...").get()));
    Ref listed = n ? Ref::steal(PyUnicode_Join(str(", ").get(), shown.get())) : str("none");
    Ref note = Ref::steal(PyUnicode_FromFormat("namespace %R is not among the mappers (%S)", namespace_, listed.get()));
    if (Ref close = mapper::close_match(namespace_, names.get()))
        note = Ref::steal(PyUnicode_FromFormat("%S: did you mean %R?", note.get(), close.get()));
    return note;
}

// Exception("not found namespace: NS"), with the note that lists the mappers.
[[noreturn, gnu::cold]] void unknown_namespace(PyObject* namespace_, PyObject* mappers) {
    PyErr_Format(PyExc_Exception, "not found namespace: %S", namespace_);
    note_error([&](PyObject*) { return namespace_note(namespace_, mappers); });
    throw_error();
}

}  // namespace

Ref execute_sql_fn(const Args& a) {
    PyObject *self = a[0], *sql_id = a[1], *namespace_ = a[2], *ori_params = a[3], *page = a[4], *return_type = a[5];
    NestingGuard guard;
    // `namespace not in self.mapper_dict`, then `self.mapper_dict[namespace]`: read twice, as the
    // two expressions read it (a property may answer differently).
    Ref mappers = getattr(self, state.s_mapper_dict);
    if (!check(PySequence_Contains(mappers.get(), namespace_))) unknown_namespace(namespace_, mappers.get());
    mappers = getattr(self, state.s_mapper_dict);
    Ref mapper = Ref::steal(PyObject_GetItem(mappers.get(), namespace_));
    Statement st{mapper.get(), namespace_, sql_id};
    try {
        return run_statement(self, st, ori_params, page, return_type);
    } catch (const PyErrorSet&) {
        // The mapper names its own errors; whatever comes later (running, shaping) is named here.
        mapper::note_statement({st.mapper, st.id, st.key});
        throw;
    }
}

// Every pass-through operation: its arguments after self, forwarded as its Forward record says.
Ref forward_body(const Args& a) {
    const Forward& f = a.data<Forward>();
    return forward(a[0], *f.kestrum_method_name, a.from(1), f.con_at, *f.kwnames);
}

}  // namespace velmo::brannow
