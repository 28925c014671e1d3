// The methods VelmoSqlSession and velmo.db.aio's AsyncVelmoSqlSession share, declared once: both
// classes take their arguments alike and refuse them with the same messages. A module includes
// this inside its own namespace, with `using namespace velmo::rt;`, defines the bodies
// (<method>_fn) it names, and expands VELMO_SESSION_SIGNATURES with the annotation its
// constructor gives `data_source`.
#pragma once

// The body of a method, by the method's name, and its entry in a class body.
#define VELMO_SESSION_BODY(name) Ref name##_fn(const Args& a);
#define VELMO_SESSION_MEMBER(name) {&name##_sig},
// clang-format off
// The methods in class-body order: __init__, then (after VelmoSqlSession's private __con) these.
#define VELMO_SESSION_METHODS_AFTER_INIT(X)                                                                           \
    X(get_ori_session) X(begin_tx) X(execute_sql) X(select_one) X(select_list) X(select_page) X(insert)               \
    X(delete) X(update) X(add) X(add_all) X(select_all_orm2) X(select_one_orm2) X(delete_orm2) X(update_orm2)        \
    X(insert_orm2) X(execute_in_connection) X(commit) X(rollback) X(close)
#define VELMO_SESSION_METHODS(X) X(init) VELMO_SESSION_METHODS_AFTER_INIT(X)

#define VELMO_SESSION_SIGNATURES(DATA_SOURCE)                                                                         \
    constexpr Param self_param{"self"};                                                                               \
    constexpr Param sql_param{"sql", Default::Required, Exact::Any, "TextClause"};                                   \
    constexpr Param statement_param{"statement"};                                                                     \
    const Signature init_sig{"__init__",                                                                              \
                             {self_param,                                                                             \
                              {"mapper_dict", Default::Required, Exact::Dict, "dict"},                               \
                              {"data_source", Default::None, Exact::Any, DATA_SOURCE},                               \
                              {"kestrum", Default::None, Exact::Any, "SqlTemplate"}},                                \
                             init_fn};                                                                                \
    const Signature get_ori_session_sig{"get_ori_session", {self_param}, get_ori_session_fn};                        \
    const Signature begin_tx_sig{"begin_tx", {self_param}, begin_tx_fn};                                             \
    const Signature execute_sql_sig{"execute_sql",                                                                    \
                                    {self_param,                                                                      \
                                     {"sql_id", Default::Required, Exact::Str, "str"},                               \
                                     {"namespace", Default::None, Exact::Str, "str"},                                \
                                     {"ori_params", Default::None, Exact::Dict, "dict"},                             \
                                     {"page", Default::None, Exact::Any, "Page"},                                    \
                                     {"return_type", Default::None, Exact::Any, "Any"}},                             \
                                    execute_sql_fn};                                                                  \
    const Signature select_one_sig{"select_one", {self_param, sql_param, {"sql_param", Default::None}},              \
                                   select_one_fn};                                                                    \
    const Signature select_list_sig{"select_list", {self_param, sql_param, {"sql_param", Default::None}},            \
                                    select_list_fn};                                                                  \
    const Signature select_page_sig{"select_page",                                                                    \
                                    {self_param, sql_param, {"page"}, {"sql_param", Default::None}}, select_page_fn}; \
    const Signature insert_sig{"insert", {self_param, sql_param, {"sql_param"}}, insert_fn};                         \
    const Signature delete_sig{"delete", {self_param, sql_param, {"sql_param"}}, delete_fn};                         \
    const Signature update_sig{"update", {self_param, sql_param, {"sql_param"}}, update_fn};                         \
    const Signature add_sig{"add", {self_param, {"data", Default::Required, Exact::Any, "Any"}}, add_fn};            \
    const Signature add_all_sig{"add_all", {self_param, {"datas", Default::Required, Exact::Any, "Any"}}, add_all_fn}; \
    const Signature select_all_orm2_sig{"select_all_orm2", {self_param, statement_param}, select_all_orm2_fn};       \
    const Signature select_one_orm2_sig{"select_one_orm2", {self_param, statement_param}, select_one_orm2_fn};       \
    const Signature delete_orm2_sig{"delete_orm2", {self_param, statement_param}, delete_orm2_fn};                   \
    const Signature update_orm2_sig{"update_orm2", {self_param, statement_param}, update_orm2_fn};                   \
    const Signature insert_orm2_sig{                                                                                  \
        "insert_orm2", {self_param, statement_param, {"data_list", Default::None, Exact::List, "list"}},              \
        insert_orm2_fn};                                                                                              \
    const Signature execute_in_connection_sig{"execute_in_connection", {self_param, {"fun"}},                        \
                                              execute_in_connection_fn};                                              \
    const Signature commit_sig{"commit", {self_param}, commit_fn};                                                    \
    const Signature rollback_sig{"rollback", {self_param}, rollback_fn};                                              \
    const Signature close_sig{"close", {self_param}, close_fn};
// clang-format on
