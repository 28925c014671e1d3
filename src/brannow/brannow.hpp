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

#include "../runtime/rt.hpp"

namespace velmo::brannow {

using rt::Args;
using rt::Ref;

struct State {
    PyObject* globals;            // the module's namespace
    PyObject* own_con;            // VelmoSqlSession.__con as built (kept)
    PyObject* own_results_handle;  // results_handle as built (kept)
    PyObject *builtin_len, *builtin_next, *builtin_iter;
    initproc python_init;  // the tp_init of a class whose __init__ is written in Python

    // Names looked up on objects.
    PyObject *n_con, *n_connection_local, *n_get, *n_set, *n_mapper_dict, *n_data_source, *n_kestrum;
    PyObject *n_get_sql, *n_commit, *n_rollback, *n_close, *n_values, *n_execute_in_connection;
    PyObject *n_select_one, *n_select_list, *n_select_page, *n_insert, *n_delete, *n_update, *n_add,
        *n_add_all, *n_select_all_orm2, *n_select_one_orm2, *n_delete_orm2, *n_update_orm2, *n_insert_orm2;
    // Module globals and builtins read at call time.
    PyObject *g_results_handle, *g_sessionmaker, *g_sql_template, *g_len, *g_list, *g_dict, *g_next,
        *g_iter, *g_get_base_type, *g_is_container_type, *g_is_result_class, *g_get_args, *g_typing_dict,
        *g_typing_list;
    // Keyword names of the calls made.
    PyObject *kw_session, *kw_get_sql, *kw_sql_con_args, *kw_sql_page_con_args, *kw_data_con, *kw_con;
    // Texts and constants.
    PyObject *t_select, *t_insert, *t_delete, *t_update, *t_list, *s_empty, *zero, *empty_tuple, *n_init;
    // Statement logging: the logger velmo.sql and the levels it is asked about.
    PyObject *sql_logger, *n_is_enabled_for, *n_log, *n_text, *level_debug, *level_values;
};
extern State state;

// A module global (then a builtin) by name, looked up now.
Ref global(PyObject* name);

// ---- session.cpp ----

// self.__con(): the current transaction session or None.
Ref current_session(PyObject* self);

Ref init_fn(const Args& a);
Ref con_fn(const Args& a);
Ref get_ori_session_fn(const Args& a);
Ref begin_tx_fn(const Args& a);
Ref execute_in_connection_fn(const Args& a);
Ref commit_fn(const Args& a);
Ref rollback_fn(const Args& a);
Ref close_fn(const Args& a);

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
[[gnu::cold]] void log_statement(const Statement& st, PyObject* sql, PyObject* binds);

// ---- dispatch.cpp ----

Ref execute_sql_fn(const Args& a);
Ref select_one_fn(const Args& a);
Ref select_list_fn(const Args& a);
Ref select_page_fn(const Args& a);
Ref insert_fn(const Args& a);
Ref delete_fn(const Args& a);
Ref update_fn(const Args& a);
Ref add_fn(const Args& a);
Ref add_all_fn(const Args& a);
Ref select_all_orm2_fn(const Args& a);
Ref select_one_orm2_fn(const Args& a);
Ref delete_orm2_fn(const Args& a);
Ref update_orm2_fn(const Args& a);
Ref insert_orm2_fn(const Args& a);

// ---- results.cpp ----

// results_handle(results, result_type, f_return_type)
Ref results_handle(PyObject* results, PyObject* result_type, PyObject* f_return_type);
Ref results_handle_fn(const Args& a);

}  // namespace velmo::brannow
