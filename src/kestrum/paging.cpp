// Paging: Page, the count and limit wrappers around a statement's text, and select_page.
#include "../sql/reading.hpp"
#include "kestrum.hpp"

using namespace velmo::rt;

namespace velmo::kestrum {

namespace {

Ref page_init_fn(const Args& a) {
    setattr(a[0], state.s_pageSize, a[2]);
    setattr(a[0], state.s_pageNum, a[1]);
    return none();
}

Ref count_query_fn(const Args& a) { return count_query(a[0]); }
Ref limit_query_fn(const Args& a) { return limit_query(a[0], a[1]); }

// The module-global count_query / limit_query, run natively while it is still ours.
Ref call_count_query(PyObject* sql) {
    Ref fn = load_global(state.globals, state.s_count_query);
    return fn.get() == state.own_count_query ? count_query(sql) : call(fn.get(), {sql});
}
// Whether the database of `session` rejects "limit <offset>,<count>", which SQLite, MySQL and
// MariaDB take: the session is an SQLAlchemy Session whose bind has a dialect of another name.
// Any other session is asked nothing at all.
bool rejects_comma_limit(PyObject* session) {
    if (!PyObject_TypeCheck(session, reinterpret_cast<PyTypeObject*>(state.orm_session))) return false;
    Ref bind = getattr_optional(session, state.s_bind);
    if (!bind || bind.get() == Py_None) return false;
    Ref dialect = getattr_optional(bind.get(), state.s_dialect);
    Ref name = dialect ? getattr_optional(dialect.get(), state.s_name) : Ref();
    if (!name || !PyUnicode_Check(name.get())) return false;
    for (const char* takes_comma : {"sqlite", "mysql", "mariadb"})
        if (PyUnicode_CompareWithASCIIString(name.get(), takes_comma) == 0) return false;
    return true;
}

// The page statement: a rebound limit_query decides alone; ours is written for the database.
Ref call_limit_query(PyObject* sql, PyObject* page, PyObject* session) {
    Ref fn = load_global(state.globals, state.s_limit_query);
    if (fn.get() != state.own_limit_query) return call(fn.get(), {sql, page});
    return rejects_comma_limit(session) ? limit_offset_query(sql, page) : limit_query(sql, page);
}

Ref select_page_fn(const Args& a) {
    PyObject *sql = a[1], *page = a[2], *args = a[4];
    Ref answer;
    Ref r = in_session(a[0], a[3], [&](PyObject* session) {
        Ref page_num = getattr(page, state.s_pageNum);
        Ref page_size = getattr(page, state.s_pageSize);
        Ref d = Ref::steal(PyDict_New());
        dict_set(d.get(), state.s_pageNum, page_num.get());
        dict_set(d.get(), state.s_pageSize, page_size.get());
        answer = d;
        Ref count_sql = call_count_query(sql);
        Ref count = call_method(call_method(session, state.s_execute, {count_sql.get(), args}).get(), state.s_scalar);
        dict_set(d.get(), state.s_total, count.get());
        Ref page_sql = call_limit_query(sql, page, session);
        Ref rows = call_method(call_method(session, state.s_execute, {page_sql.get(), args}).get(), state.s_all);
        dict_set(d.get(), state.s_list, row_dicts(rows.get()).get());
        return d;
    });
    // The answer is returned after the block: a context manager that swallowed the block's
    // exception leaves what was built so far, or nothing at all when the dict was never made.
    if (!r && !answer) raise_unbound_local("result");
    return r ? r : answer;
}

}  // namespace

Ref count_query(PyObject* sql) {
    Ref body = getattr(sql, state.s_text);
    Ref formatted = sql::end_line_comment(Ref::steal(PyObject_Format(body.get(), state.s_empty)));
    Ref head = Ref::steal(PyUnicode_Concat(state.s_count_prefix, formatted.get()));
    Ref full = Ref::steal(PyUnicode_Concat(head.get(), state.s_count_suffix));
    Ref text = load_global(state.globals, state.s_text);
    return call(text.get(), {full.get()});
}

namespace {

// The page's offset ((pageNum - 1) * pageSize) and row count (pageSize, read again), as
// decimal texts.
void page_window(PyObject* page, Ref& start_text, Ref& count_text) {
    Ref page_num = getattr(page, state.s_pageNum);
    Ref offset = Ref::steal(PyNumber_Subtract(page_num.get(), state.one));
    Ref size = getattr(page, state.s_pageSize);
    Ref start = Ref::steal(PyNumber_Multiply(offset.get(), size.get()));
    Ref count = getattr(page, state.s_pageSize);
    start_text = Ref::steal(PyObject_Format(start.get(), state.s_empty));
    count_text = Ref::steal(PyObject_Format(count.get(), state.s_empty));
}

// text(sql.text + suffix)
Ref with_suffix(PyObject* sql, PyObject* suffix) {
    Ref text = load_global(state.globals, state.s_text);
    Ref body = sql::end_line_comment(getattr(sql, state.s_text));
    Ref full = concat(body.get(), suffix);
    return call(text.get(), {full.get()});
}

}  // namespace

Ref limit_query(PyObject* sql, PyObject* page) {
    Ref start, count;
    page_window(page, start, count);
    // " limit {},{}".format(start, page.pageSize)
    Ref suffix = Ref::steal(PyUnicode_FromFormat(" limit %U,%U", start.get(), count.get()));
    return with_suffix(sql, suffix.get());
}

Ref limit_offset_query(PyObject* sql, PyObject* page) {
    Ref start, count;
    page_window(page, start, count);
    Ref suffix = Ref::steal(PyUnicode_FromFormat(" LIMIT %U OFFSET %U", count.get(), start.get()));
    return with_suffix(sql, suffix.get());
}

const Signature page_init_sig{
    "__init__",
    {{"self"}, {"page_num", Default::Required, Exact::Int, "int"}, {"page_size", Default::Required, Exact::Int, "int"}},
    page_init_fn};
const Signature count_query_sig{"count_query", {{"sql", Default::Required, Exact::Any, "TextClause"}}, count_query_fn};
const Signature limit_query_sig{
    "limit_query",
    {{"sql", Default::Required, Exact::Any, "TextClause"}, {"page", Default::Required, Exact::Any, "Page"}},
    limit_query_fn};
const Signature select_page_sig{"select_page",
                                {{"self"},
                                 {"sql", Default::Required, Exact::Any, "TextClause"},
                                 {"page", Default::Required, Exact::Any, "Page"},
                                 {"con", Default::None},
                                 {"args", Default::None}},
                                select_page_fn};

}  // namespace velmo::kestrum
