// velmo.db.brannow: what the session facade's files share.
//
// The module state, and the entry points of each concern: the session object and its
// transaction (session.cpp), statement dispatch and the pass-through operations (dispatch.cpp),
// and result shaping (results.cpp). module.cpp builds the Python-visible namespace from them.
//
// Every name the Python code of this module would look up at call time (module globals such as
// results_handle, sessionmaker, SqlTemplate, the wollix helpers, the builtins; methods on self
// such as the private __con) is looked up at call time here too. Native shortcuts are taken only
// when the lookup found the very object this module made or imported.
#pragma once

#include "../mapper/statement_notes.hpp"
#include "../runtime/rt.hpp"
#include "../sessions/async_guard.hpp"
#include "../sessions/connection_local.hpp"
#include "../sessions/factory.hpp"
#include "../sessions/session_methods.hpp"

namespace velmo::brannow {

using rt::Args;
using rt::Ref;

// clang-format off
#define BRANNOW_NAMES(X)                                                                                              \
    X(con, "_VelmoSqlSession__con") X(connection_local, "connection_local") X(get, "get") X(set, "set")               \
    X(mapper_dict, "mapper_dict") X(data_source, "data_source") X(kestrum, "kestrum") X(get_sql, "get_sql")           \
    X(commit, "commit") X(rollback, "rollback") X(close, "close") X(invalidate, "invalidate")                               \
    X(values, "values") X(execute_in_connection, "execute_in_connection") X(select_one, "select_one")                 \
    X(select_list, "select_list") X(select_page, "select_page") X(select, "select") X(insert, "insert")               \
    X(delete, "delete") X(update, "update") X(add, "add") X(add_all, "add_all")                                       \
    X(select_all_orm2, "select_all_orm2") X(select_one_orm2, "select_one_orm2")                                       \
    X(delete_orm2, "delete_orm2") X(update_orm2, "update_orm2") X(insert_orm2, "insert_orm2")                         \
    X(init, "__init__") X(results_handle, "results_handle") X(sessionmaker, "sessionmaker")                           \
    X(SqlTemplate, "SqlTemplate") X(len, "len") X(list, "list") X(dict, "dict") X(next, "next")                       \
    X(iter, "iter") X(get_base_type, "get_base_type") X(is_container_type, "is_container_type")                       \
    X(is_result_class, "is_result_class") X(get_args, "get_args") X(Dict, "Dict") X(List, "List")                     \
    X(empty, "") X(is_enabled_for, "isEnabledFor") X(log, "log") X(text, "text") X(bind_separator, ", ")              \
    X(log_with_binds, "%s: %s [binds: %s]") X(log_without_binds, "%s: %s [no binds]")                                 \
    X(log_values, "%s bind values: %r") X(name, "name") X(make_record, "makeRecord") X(handle, "handle")
// clang-format on
VELMO_NAMES(Names, BRANNOW_NAMES)

// Everything the module keeps: its names, and the objects its fast paths compare against.
struct State : Names {
    PyObject* globals;             // the module's namespace
    PyObject* own_con;             // VelmoSqlSession.__con as built (kept)
    PyObject* own_results_handle;  // results_handle as built (kept)
    PyObject *builtin_len, *builtin_next, *builtin_iter;
    initproc python_init;  // the tp_init of a class whose __init__ is written in Python
    // Keyword names of the calls made.
    PyObject *kw_session, *kw_get_sql, *kw_sql_con_args, *kw_sql_page_con_args, *kw_data_con, *kw_con;
    PyObject *zero, *empty_tuple;
    // Statement logging: the logger velmo.sql and the levels it is asked about.
    PyObject *sql_logger, *level_debug, *level_values;
    sessions::FactoryCache factories;  // begin_tx's and get_ori_session's, one per session object
};
extern State state;

// The methods shared with AsyncVelmoSqlSession (session_methods.hpp). Bodies of their own:
// session.cpp (construction and transactions) and dispatch.cpp (execute_sql).
#define BRANNOW_OWN_BODIES(X) \
    X(init) X(get_ori_session) X(begin_tx) X(execute_sql) X(execute_in_connection) X(commit) X(rollback) X(close)
BRANNOW_OWN_BODIES(VELMO_SESSION_OWN)

// The pass-through operations (dispatch.cpp): self.kestrum.<name>(*args) with self.__con()
// placed at con_at among the arguments, and kwnames naming the trailing ones, con included. The
// names are read from the state when called.
struct Forward {
    PyObject* const* kestrum_method_name;
    size_t con_at;
    PyObject* const* kwnames;
};
// Forwards its arguments after self as the method's Forward record says.
Ref forward_body(const Args& a);
#define BRANNOW_FORWARD(name, con_at, kwnames)                                        \
    inline constexpr Forward name##_forward{&state.s_##name, con_at, &state.kwnames}; \
    inline constexpr rt::Body name##_body = forward_body;                             \
    inline constexpr const void* name##_data = &name##_forward
// (sql=, con=, args=), (sql=, page=, con=, args=), (data=, con=), (statement, con=) and
// (statement, data_list, con=).
BRANNOW_FORWARD(select_one, 1, kw_sql_con_args);
BRANNOW_FORWARD(select_list, 1, kw_sql_con_args);
BRANNOW_FORWARD(select_page, 2, kw_sql_page_con_args);
BRANNOW_FORWARD(insert, 1, kw_sql_con_args);
BRANNOW_FORWARD(delete, 1, kw_sql_con_args);
BRANNOW_FORWARD(update, 1, kw_sql_con_args);
BRANNOW_FORWARD(add, 1, kw_data_con);
BRANNOW_FORWARD(add_all, 1, kw_data_con);
BRANNOW_FORWARD(select_all_orm2, 1, kw_con);
BRANNOW_FORWARD(select_one_orm2, 1, kw_con);
BRANNOW_FORWARD(delete_orm2, 1, kw_con);
BRANNOW_FORWARD(update_orm2, 1, kw_con);
BRANNOW_FORWARD(insert_orm2, 2, kw_con);

// ---- session.cpp ----

// self.__con(): the current transaction session or None.
Ref current_session(PyObject* self);

Ref con_fn(const Args& a);

// ---- log.cpp ----

// A statement by id: its mapper, the namespace it was asked under and its id.
struct Statement {
    PyObject* mapper;
    PyObject* key;
    PyObject* id;
};

// Whether the logger velmo.sql records statements (it is enabled for DEBUG).
bool sql_logging_enabled();
// Records a statement about to run: at DEBUG its name, final SQL and bind names; the bind
// values, which may be personal data, only in a record of their own at a level below DEBUG.
VELMO_COLD void log_statement(const Statement& st, PyObject* sql, PyObject* binds);

// ---- results.cpp ----

// results_handle(results, result_type, f_return_type)
Ref results_handle(PyObject* results, PyObject* result_type, PyObject* f_return_type);
Ref results_handle_fn(const Args& a);

}  // namespace velmo::brannow
