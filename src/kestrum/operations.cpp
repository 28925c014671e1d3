// SqlTemplate's statement and ORM operations: each runs its work inside
// `with self.get_session(con) as session:` and computes its result before leaving the block.
#include "kestrum.hpp"

using namespace velmo::rt;

namespace velmo::kestrum {

namespace {

Ref or_none(Ref r) { return r ? std::move(r) : none(); }

// session.execute(statement, parameters) / session.execute(statement)
Ref execute(PyObject* session, PyObject* statement, PyObject* parameters) {
    return call_method(session, state.s_execute, {statement, parameters});
}
Ref execute(PyObject* session, PyObject* statement) { return call_method(session, state.s_execute, {statement}); }

Ref init_fn(const Args& a) {
    sessions::refuse_async(a[1], "SqlTemplate", "Engine");
    setattr(a[0], state.s_data_source, a[1]);
    return none();
}

// True, with the error cleared, when the error set is one that reading an insert's id raises
// because the driver cannot report it: AttributeError, whatever lacks the attribute (psycopg's
// cursors have no lastrowid, asyncpg's results no cursor to ask), and SQLAlchemy's errors, as
// which a result raises the driver's DBAPI errors. Anything else (KeyboardInterrupt, SystemExit,
// MemoryError, ...) is no answer about the id and takes the error road like the statement's own.
bool cleared_no_id_error() {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError) && !PyErr_ExceptionMatches(state.sqlalchemy_error)) return false;
    PyErr_Clear();
    return true;
}

// obj.name, or an empty Ref when reading it says the driver cannot tell.
Ref read_or_empty(PyObject* obj, PyObject* name) {
    if (PyObject* value = PyObject_GetAttr(obj, name)) return Ref::steal(value);
    if (!cleared_no_id_error()) throw_error();
    return {};
}

// The id an insert answers: result.lastrowid where the driver reports one (SQLite, MariaDB);
// where it reports None or nothing, the first column of the first row the statement returned
// (INSERT ... RETURNING), else None. Reading it never undoes the statement, which has succeeded.
// The returned row is read first: where reading lastrowid fails, SQLAlchemy closes the cursor and
// its rows are gone.
Ref inserted_id(PyObject* result) {
    Ref returned;
    Ref returns_rows = read_or_empty(result, state.s_returns_rows);
    if (returns_rows && truthy(returns_rows.get())) {
        try {
            returned = call_method(result, state.s_scalar);
        } catch (const PyErrorSet&) {
            if (!cleared_no_id_error()) throw;
        }
    }
    Ref id = read_or_empty(result, state.s_lastrowid);
    if (id && id.get() != Py_None) return id;
    return returned ? returned : none();
}

Ref insert_fn(const Args& a) {
    PyObject *sql = a[1], *args = a[3];
    return or_none(
        in_session(a[0], a[2], [&](PyObject* session) { return inserted_id(execute(session, sql, args).get()); }));
}

Ref insert_orm2_fn(const Args& a) {
    PyObject *statement = a[1], *data_list = a[2];
    return or_none(in_session(a[0], a[3], [&](PyObject* session) { return execute(session, statement, data_list); }));
}

Ref add_impl(const Args& a, PyObject* method) {
    PyObject* data = a[1];
    in_session(a[0], a[2], [&](PyObject* session) {
        call_method(session, method, {data});
        call_method(session, state.s_flush);
        return none();
    });
    return none();
}
Ref add_fn(const Args& a) { return add_impl(a, state.s_add); }
Ref add_all_fn(const Args& a) { return add_impl(a, state.s_add_all); }

// Through the instance, so that an override of update / update_orm2 applies (an override that
// leads back here is a recursion like any other).
Ref delete_fn(const Args& a) {
    NestingGuard guard;
    return call_method(a[0], state.s_update, {a[1], a[2], a[3]});
}
Ref delete_orm2_fn(const Args& a) {
    NestingGuard guard;
    return call_method(a[0], state.s_update_orm2, {a[1], a[2]});
}

Ref update_orm2_fn(const Args& a) {
    PyObject* statement = a[1];
    return or_none(in_session(
        a[0], a[2], [&](PyObject* session) { return getattr(execute(session, statement).get(), state.s_rowcount); }));
}

Ref update_fn(const Args& a) {
    PyObject *sql = a[1], *args = a[3];
    return or_none(in_session(
        a[0], a[2], [&](PyObject* session) { return getattr(execute(session, sql, args).get(), state.s_rowcount); }));
}

Ref select_one_orm2_fn(const Args& a) {
    PyObject* statement = a[1];
    return or_none(in_session(a[0], a[2], [&](PyObject* session) {
        return call_method(execute(session, statement).get(), state.s_scalar_one_or_none);
    }));
}

Ref select_all_orm2_fn(const Args& a) {
    PyObject* statement = a[1];
    return or_none(in_session(a[0], a[2], [&](PyObject* session) {
        Ref scalars = call_method(execute(session, statement).get(), state.s_scalars);
        return call_method(scalars.get(), state.s_all);
    }));
}

Ref select_one_fn(const Args& a) {
    PyObject *sql = a[1], *args = a[3];
    return or_none(in_session(a[0], a[2], [&](PyObject* session) {
        Ref data = call_method(execute(session, sql, args).get(), state.s_first);
        if (truthy(data.get())) data = call_method(data.get(), state.s_asdict);
        return data;
    }));
}

Ref select_list_fn(const Args& a) {
    PyObject *sql = a[1], *args = a[3];
    return or_none(in_session(a[0], a[2], [&](PyObject* session) {
        Ref data = call_method(execute(session, sql, args).get(), state.s_all);
        return row_dicts(data.get());
    }));
}

// Always an owned session: get_session is entered without an argument. The result is held
// and returned after the block, so a context manager that swallows fun's exception leaves no
// result to return.
Ref execute_in_connection_fn(const Args& a) {
    PyObject* fun = a[1];
    Ref result = in_session(a[0], nullptr, [&](PyObject* con) { return call(fun, {con}); });
    if (!result) raise_unbound_local("result");
    return result;
}

Ref get_session_fn(const Args& a) { return get_session_generator(a[0], a[1]); }

constexpr Param self_param{"self"};
constexpr Param con_param{"con", Default::None};
constexpr Param args_param{"args", Default::None};
constexpr Param sql_param{"sql", Default::Required, Exact::Any, "TextClause"};
constexpr Param statement_param{"statement"};

}  // namespace

namespace {

// True when row._asdict is SQLAlchemy's Row._asdict, reached through Row's own attribute lookup
// with no instance dict to shadow it: then row._asdict() is Row._asdict(row).
bool plain_row_type(PyTypeObject* type) {
    return type->tp_dictoffset == 0 && internals::type_lookup(type, state.s_asdict) == state.row_asdict &&
           internals::type_lookup(type, state.s_getattribute) == state.row_getattribute;
}

}  // namespace

Ref row_dicts(PyObject* rows) {
    Ref out = Ref::steal(PyList_New(0));
    // The row type found plain stays so while its version tag holds: an _asdict or
    // __getattribute__ set on it (or a base) by an earlier row's _asdict moves the tag.
    TypeWatch plain;
    for_each(rows, [&](PyObject* row) {
        bool fast = state.row_asdict && plain.holds(Py_TYPE(row), plain_row_type);
        Ref d = fast ? call(state.row_asdict, {row}) : call_method(row, state.s_asdict);
        check(PyList_Append(out.get(), d.get()));
    });
    return out;
}

const Signature init_sig{"__init__", {self_param, {"data_source"}}, init_fn};
const Signature insert_sig{"insert", {self_param, sql_param, con_param, args_param}, insert_fn};
const Signature insert_orm2_sig{"insert_orm2", {self_param, statement_param, {"data_list"}, {"con"}}, insert_orm2_fn};
const Signature add_sig{"add", {self_param, {"data", Default::Required, Exact::Any, "Any"}, con_param}, add_fn};
const Signature add_all_sig{
    "add_all", {self_param, {"data", Default::Required, Exact::Any, "Any"}, con_param}, add_all_fn};
const Signature delete_sig{"delete", {self_param, sql_param, con_param, args_param}, delete_fn};
const Signature delete_orm2_sig{"delete_orm2", {self_param, statement_param, con_param}, delete_orm2_fn};
const Signature update_orm2_sig{"update_orm2", {self_param, statement_param, con_param}, update_orm2_fn};
const Signature update_sig{"update", {self_param, sql_param, con_param, args_param}, update_fn};
const Signature select_one_orm2_sig{"select_one_orm2", {self_param, statement_param, con_param}, select_one_orm2_fn};
const Signature select_all_orm2_sig{"select_all_orm2", {self_param, statement_param, con_param}, select_all_orm2_fn};
const Signature select_one_sig{"select_one", {self_param, sql_param, con_param, args_param}, select_one_fn};
const Signature select_list_sig{"select_list", {self_param, sql_param, con_param, args_param}, select_list_fn};
const Signature execute_in_connection_sig{"execute_in_connection", {self_param, {"fun"}}, execute_in_connection_fn};
const Signature get_session_sig{"get_session", {self_param, {"session", Default::None}}, get_session_fn};

}  // namespace velmo::kestrum
