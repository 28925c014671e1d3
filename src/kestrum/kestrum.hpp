// velmo.db.kestrum: shared declarations of the SQL template's files.
#pragma once

#include <type_traits>

#include "../runtime/generator.hpp"
#include "../runtime/rt.hpp"
#include "../sessions/async_guard.hpp"
#include "../sessions/factory.hpp"

namespace velmo::kestrum {

using rt::Ref;

// clang-format off
#define KESTRUM_NAMES(X)                                                                                              \
    X(sessionmaker, "sessionmaker") X(text, "text") X(count_query, "count_query")                                     \
    X(limit_query, "limit_query") X(GeneratorContextManager, "_GeneratorContextManager")                              \
    X(data_source, "data_source") X(get_session, "get_session") X(update, "update")                                   \
    X(update_orm2, "update_orm2") X(commit, "commit") X(rollback, "rollback") X(close, "close")                       \
    X(execute, "execute") X(first, "first") X(all, "all") X(asdict, "_asdict") X(lastrowid, "lastrowid")              \
    X(rowcount, "rowcount") X(add, "add") X(add_all, "add_all") X(flush, "flush") X(scalar, "scalar")                 \
    X(scalars, "scalars") X(scalar_one_or_none, "scalar_one_or_none") X(pageNum, "pageNum")                           \
    X(pageSize, "pageSize") X(total, "total") X(list, "list") X(enter, "__enter__") X(exit, "__exit__")               \
    X(getattribute, "__getattribute__") X(empty, "") X(count_prefix, "select count(*) from ( ")                       \
    X(count_suffix, " ) temp") X(bind, "bind") X(dialect, "dialect") X(name, "name")                                  \
    X(returns_rows, "returns_rows")
// clang-format on
VELMO_NAMES(Names, KESTRUM_NAMES)

// Everything the module keeps: its names and the objects the fast paths compare against.
struct State : Names {
    PyObject* globals;             // the module's namespace
    PyObject* get_session_helper;  // SqlTemplate.get_session (the contextmanager wrapper)
    PyObject* get_session_qualname;
    PyObject* contextlib_dict;
    PyObject* generator_cm;  // contextlib._GeneratorContextManager as found at import
    // generator_cm's MRO and a copy of each class dict at import, and whether it still matches them.
    PyObject* generator_cm_mro;
    PyObject* generator_cm_dicts;
    rt::TypeWatch generator_cm_watch;
    PyObject* own_count_query;
    PyObject* own_limit_query;
    PyObject* kw_session;  // ("bind", "expire_on_commit")
    // SQLAlchemy's Row._asdict (a plain function) and the __getattribute__ of Row, or NULL.
    PyObject* row_asdict;
    PyObject* row_getattribute;
    PyObject* orm_session;       // sqlalchemy.orm.Session: only its instances are asked for a dialect
    PyObject* sqlalchemy_error;  // sqlalchemy.exc.SQLAlchemyError: a driver's "no id" as a result raises it
    PyObject* one;
    sessions::FactoryCache factories;  // owned sessions' factories, one per template
};
extern State state;

// get_session steps 1-2: the session to use (`session` itself when truthy, else a new owned one).
Ref open_session(PyObject* self, PyObject* session, bool& owned);
// The block ended normally: commit an owned session (a failing commit takes the error road),
// then close it.
void leave_session(PyObject* session, bool owned);
// The block raised `exc`: roll back on an Exception, close an owned session, and raise the
// resulting exception (exc itself unless rollback or close failed).
[[noreturn]] void leave_session_failed(PyObject* session, bool owned, Ref exc);

// Records contextlib._GeneratorContextManager as it is now (state.generator_cm), so that the
// operations can tell later whether it is still the class it was.
void record_generator_cm();

// The native body of SqlTemplate.get_session: a generator over the steps above.
Ref get_session_generator(PyObject* self, PyObject* session);

// Runs body(session) inside `with self.get_session(con) as session:` (or `self.get_session()`
// when con is NULL). Returns the body's result, or an empty Ref when the context manager
// suppressed the body's exception.
using SessionBody = Ref (*)(PyObject* session, void* data);
Ref with_session(PyObject* self, PyObject* con, SessionBody body, void* data);

template <class F>
Ref in_session(PyObject* self, PyObject* con, F&& f) {
    using Fn = std::remove_reference_t<F>;
    return with_session(
        self, con, [](PyObject* session, void* data) -> Ref { return (*static_cast<Fn*>(data))(session); }, &f);
}

using rt::NestingGuard;

// UnboundLocalError for reading the local `name` that a swallowed exception left unassigned.
[[noreturn]] void raise_unbound_local(const char* name);

// count_query / limit_query with the given values (what the module functions run).
Ref count_query(PyObject* sql);
Ref limit_query(PyObject* sql, PyObject* page);
// The page query for databases that reject limit_query's "limit <offset>,<count>":
// sql.text + " LIMIT <count> OFFSET <offset>".
Ref limit_offset_query(PyObject* sql, PyObject* page);

// `[e._asdict() for e in rows]`
Ref row_dicts(PyObject* rows);

// Specs registered by module.cpp, defined in the files that implement them.
extern const rt::Signature page_init_sig, count_query_sig, limit_query_sig, select_page_sig;
extern const rt::Signature init_sig, insert_sig, insert_orm2_sig, add_sig, add_all_sig, delete_sig, delete_orm2_sig,
    update_orm2_sig, update_sig, select_one_orm2_sig, select_all_orm2_sig, select_one_sig, select_list_sig,
    execute_in_connection_sig, get_session_sig;

}  // namespace velmo::kestrum
