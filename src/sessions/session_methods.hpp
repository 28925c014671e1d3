// The methods VelmoSqlSession and velmo.db.aio's AsyncVelmoSqlSession share, declared once: both
// classes take their arguments alike and refuse them with the same messages. A module supplies,
// for every method, its body <method>_body and the data that body reads, <method>_data: a body of
// its own (VELMO_SESSION_OWN), or a body shared by several methods with a record that tells them
// apart. It then expands VELMO_SESSION_SIGNATURES, with `using namespace velmo::rt;`, giving the
// annotation its constructor gives `data_source`.
#pragma once

// A method with a body of its own, <method>_fn, and no data.
#define VELMO_SESSION_OWN(name)                                 \
    ::velmo::rt::Ref name##_fn(const ::velmo::rt::Args& a);     \
    inline constexpr ::velmo::rt::Body name##_body = name##_fn; \
    inline constexpr const void* name##_data = nullptr;
// A method's entry in a class body.
#define VELMO_SESSION_MEMBER(name) {&name##_sig},
// clang-format off
// The methods in class-body order: __init__, then (after VelmoSqlSession's private __con) these.
#define VELMO_SESSION_METHODS_AFTER_INIT(X)                                                                           \
    X(get_ori_session) X(begin_tx) X(execute_sql) X(select_one) X(select_list) X(select_page) X(insert)               \
    X(delete) X(update) X(add) X(add_all) X(select_all_orm2) X(select_one_orm2) X(delete_orm2) X(update_orm2)        \
    X(insert_orm2) X(execute_in_connection) X(commit) X(rollback) X(close)
#define VELMO_SESSION_METHODS(X) X(init) VELMO_SESSION_METHODS_AFTER_INIT(X)

// const Signature <method>_sig: the method <method> with these parameters, and the body and data its
// module supplies for it.
#define VELMO_SESSION_SIGNATURE(method, ...)                                                                           \
    const Signature method##_sig{.name = #method, .params = __VA_ARGS__, .body = method##_body, .data = method##_data};
#define VELMO_SESSION_SIGNATURES(DATA_SOURCE)                                                                          \
    constexpr Param self_param{"self"};                                                                                \
    constexpr Param sql_param{"sql", Default::Required, Exact::Any, "TextClause"};                                     \
    constexpr Param statement_param{"statement"};                                                                      \
    const Signature init_sig{.name = "__init__",                                                                       \
                             .params = {self_param,                                                                    \
                                        {"mapper_dict", Default::Required, Exact::Dict, "dict"},                       \
                                        {"data_source", Default::None, Exact::Any, DATA_SOURCE},                       \
                                        {"kestrum", Default::None, Exact::Any, "SqlTemplate"}},                        \
                             .body = init_body,                                                                        \
                             .data = init_data};                                                                       \
    VELMO_SESSION_SIGNATURE(get_ori_session, {self_param})                                                             \
    VELMO_SESSION_SIGNATURE(begin_tx, {self_param})                                                                    \
    VELMO_SESSION_SIGNATURE(execute_sql, {self_param,                                                                  \
                                          {"sql_id", Default::Required, Exact::Str, "str"},                            \
                                          {"namespace", Default::None, Exact::Str, "str"},                             \
                                          {"ori_params", Default::None, Exact::Dict, "dict"},                          \
                                          {"page", Default::None, Exact::Any, "Page"},                                 \
                                          {"return_type", Default::None, Exact::Any, "Any"}})                          \
    VELMO_SESSION_SIGNATURE(select_one, {self_param, sql_param, {"sql_param", Default::None}})                         \
    VELMO_SESSION_SIGNATURE(select_list, {self_param, sql_param, {"sql_param", Default::None}})                        \
    VELMO_SESSION_SIGNATURE(select_page, {self_param, sql_param, {"page"}, {"sql_param", Default::None}})              \
    VELMO_SESSION_SIGNATURE(insert, {self_param, sql_param, {"sql_param"}})                                            \
    VELMO_SESSION_SIGNATURE(delete, {self_param, sql_param, {"sql_param"}})                                            \
    VELMO_SESSION_SIGNATURE(update, {self_param, sql_param, {"sql_param"}})                                            \
    VELMO_SESSION_SIGNATURE(add, {self_param, {"data", Default::Required, Exact::Any, "Any"}})                         \
    VELMO_SESSION_SIGNATURE(add_all, {self_param, {"datas", Default::Required, Exact::Any, "Any"}})                    \
    VELMO_SESSION_SIGNATURE(select_all_orm2, {self_param, statement_param})                                            \
    VELMO_SESSION_SIGNATURE(select_one_orm2, {self_param, statement_param})                                            \
    VELMO_SESSION_SIGNATURE(delete_orm2, {self_param, statement_param})                                                \
    VELMO_SESSION_SIGNATURE(update_orm2, {self_param, statement_param})                                                \
    VELMO_SESSION_SIGNATURE(insert_orm2,                                                                               \
                            {self_param, statement_param, {"data_list", Default::None, Exact::List, "list"}})          \
    VELMO_SESSION_SIGNATURE(execute_in_connection, {self_param, {"fun"}})                                              \
    VELMO_SESSION_SIGNATURE(commit, {self_param})                                                                      \
    VELMO_SESSION_SIGNATURE(rollback, {self_param})                                                                    \
    VELMO_SESSION_SIGNATURE(close, {self_param})
// clang-format on
