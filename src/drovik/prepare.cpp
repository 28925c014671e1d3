// Statement preparation: bind markers to named binds, formatting, and the clause cache.
//
// The marker patterns of the module are honoured as module globals: while param_pattern and
// re are the ones imported, findall and the marker rewrite run natively over the str's buffer
// (same matches, same order); a rebound global is called instead.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>

#include "../sql/reading.hpp"
#include "drovik.hpp"

namespace velmo::drovik {

using namespace velmo::rt;

namespace {

inline bool name_char(Py_UCS4 c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}

// param_pattern.findall(s): calls f(start, end) for the name of each match, left to right.
template <class C, class F>
void find_markers(const C* d, Py_ssize_t n, F&& f) {
    for (Py_ssize_t i = 0; i + 2 < n; ++i) {
        if constexpr (sizeof(C) == 1) {
            const void* hash = std::memchr(d + i, '#', static_cast<size_t>(n - 2 - i));
            if (!hash) return;
            i = static_cast<const C*>(hash) - d;
        }
        if (d[i] != '#' || d[i + 1] != '{') continue;
        Py_ssize_t j = i + 2;
        while (j < n && name_char(d[j])) ++j;
        if (j > i + 2 && j < n && d[j] == '}') {
            f(i + 2, j);
            i = j;
        }
    }
}

// re.sub("#\{([^}]+)\}", ":\1", s) into out; returns the output length, or -1 when nothing
// matched. A "#{" inside a line comment (of any database's reading) is comment text unless its
// "}" stands on the same line: it never pairs with the "}" of a marker after the comment.
// Whether a line comment that a "#{" could stand in may open in d[0, n): "--", or a "#" that is
// not followed by "{" and something. A "#{x" left open on its line is a comment too, but the
// rewrite pairs that "#{" itself before it reaches any "#{" after it, so it needs no reading.
template <class C>
bool comment_before_marker(const C* d, Py_ssize_t n) {
    auto opens = [&](Py_ssize_t i) { return i + 2 >= n || d[i + 1] != '{' || d[i + 2] == '}'; };
    if constexpr (sizeof(C) == 1) {
        for (const C* p = d; (p = static_cast<const C*>(std::memchr(p, '#', static_cast<size_t>(d + n - p)))); ++p)
            if (opens(p - d)) return true;
        for (const C* p = d; (p = static_cast<const C*>(std::memchr(p, '-', static_cast<size_t>(d + n - p)))); ++p)
            if (p + 1 < d + n && p[1] == '-') return true;
        return false;
    }
    for (Py_ssize_t i = 0; i < n; ++i)
        if ((d[i] == '#' && opens(i)) || (d[i] == '-' && i + 1 < n && d[i + 1] == '-')) return true;
    return false;
}

template <class C>
Py_ssize_t rewrite_markers(const C* d, Py_ssize_t n, C* out) {
    bool comments = comment_before_marker(d, n);
    sql::Readings reading;
    Py_UCS4 before = 0, before2 = 0;
    Py_ssize_t read = 0;  // d[0, read) has been read
    Py_ssize_t o = 0, i = 0;
    bool any = false;
    while (i < n) {
        if (d[i] == '#' && i + 2 < n && d[i + 1] == '{' && d[i + 2] != '}') {
            Py_ssize_t j = i + 3;
            if (comments) {
                reading.read(d + read, i - read, before, before2);
                read = i;
                if (reading.in_line()) {
                    while (j < n && d[j] != '}' && !sql::line_end(d[j])) ++j;
                    if (j == n || d[j] != '}') {
                        out[o++] = d[i++];
                        continue;
                    }
                }
            }
            while (j < n && d[j] != '}') ++j;
            if (j == n) break;  // no closing brace anywhere after: no further match either
            out[o++] = ':';
            std::memcpy(out + o, d + i + 2, static_cast<size_t>(j - i - 2) * sizeof(C));
            o += j - i - 2;
            i = j + 1;
            any = true;
            continue;
        }
        // Up to the next "#" in one copy.
        Py_ssize_t next = i + 1;
        if constexpr (sizeof(C) == 1) {
            const void* hash = std::memchr(d + next, '#', static_cast<size_t>(n - next));
            next = hash ? static_cast<const C*>(hash) - d : n;
        } else {
            while (next < n && d[next] != '#') ++next;
        }
        std::memcpy(out + o, d + i, static_cast<size_t>(next - i) * sizeof(C));
        o += next - i;
        i = next;
    }
    if (!any) return -1;
    std::memcpy(out + o, d + i, static_cast<size_t>(n - i) * sizeof(C));
    return o + (n - i);
}

// The marker rewrite of s, through the scratch space (no Python code runs while it is in use).
Ref rewrite_text(PyObject* s) {
    return visit_text(s, [&](auto data, Py_ssize_t n) {
        using C = std::remove_cv_t<std::remove_pointer_t<decltype(data)>>;
        std::vector<char>& scratch = state.scratch;
        if (scratch.size() < static_cast<size_t>(n) * sizeof(C)) scratch.resize(static_cast<size_t>(n) * sizeof(C));
        C* out = reinterpret_cast<C*>(scratch.data());
        Py_ssize_t len = rewrite_markers(data, n, out);
        if (len < 0) return PyUnicode_CheckExact(s) ? Ref::borrow(s) : Ref::steal(PyUnicode_FromObject(s));
        return Ref::steal(PyUnicode_FromKindAndData(sizeof(C), out, len));
    });
}

// re.sub(pattern, replacement, ret) through the module global re (native while that is the
// re imported and its sub the one it had).
Ref rewrite(PyObject* ret) {
    Ref re = load_global(state.globals, state.s_re);
    Ref sub = getattr(re.get(), state.s_sub);
    if (re.get() != state.re_module || sub.get() != state.re_sub || !PyUnicode_Check(ret))
        return call(sub.get(), {state.s_sub_pattern, state.s_sub_replacement, ret});
    return rewrite_text(ret);
}

constexpr Py_ssize_t for_index_length = 11;  // "_for_index_"

// Decimal digits only, short enough for a Py_ssize_t: the index; else -1 (int() decides).
Py_ssize_t plain_index(PyObject* name, Py_ssize_t from) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(name);
    // At most 18 digits: any such number fits a Py_ssize_t; longer ones are left to int().
    if (from >= n || n - from > 18) return -1;
    int kind = PyUnicode_KIND(name);
    const void* data = PyUnicode_DATA(name);
    Py_ssize_t v = 0;
    for (Py_ssize_t i = from; i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c < '0' || c > '9') return -1;
        v = v * 10 + static_cast<Py_ssize_t>(c - '0');
    }
    return v;
}

// Fills the bind dictionary from the marker names, in order.
class Binder {
public:
    Binder(PyObject* binds, PyObject* param) : binds_(binds), param_(param) {}

    // The names of the markers that got no parameter (bound to None), in order.
    const std::vector<Ref>& unbound() const noexcept { return unbound_; }

    void bind(PyObject* name) {
        Py_ssize_t n = PyUnicode_GET_LENGTH(name);
        Py_ssize_t at = n >= for_index_length ? PyUnicode_Find(name, state.s_for_index, 0, n, 1) : -1;
        if (at == -2) throw_error();
        if (at >= 0) {
            // param[container_name][int(index)]
            Ref container = container_for(name, at);
            Py_ssize_t index = plain_index(name, at + for_index_length);
            if (index >= 0 && PyList_CheckExact(container.get()) && index < PyList_GET_SIZE(container.get())) {
                dict_set(binds_, name, PyList_GET_ITEM(container.get(), index));
                return;
            }
            Ref text = Ref::steal(PyUnicode_Substring(name, at + for_index_length, n));
            Ref number = Ref::steal(PyLong_FromUnicodeObject(text.get(), 10));
            Ref value = Ref::steal(PyObject_GetItem(container.get(), number.get()));
            dict_set(binds_, name, value.get());
            return;
        }
        // A lookup by key may run Python code (a key's __eq__): no sharing across it.
        last_ = Ref();
        last_name_ = Ref();
        if (PyDict_CheckExact(param_)) {
            if (Ref value = dict_get(param_, name)) {
                dict_set(binds_, name, value.get());
                return;
            }
        } else if (check(PySequence_Contains(param_, name))) {
            Ref value = Ref::steal(PyObject_GetItem(param_, name));
            dict_set(binds_, name, value.get());
            return;
        }
        dict_set(binds_, name, Py_None);
        unbound_.push_back(Ref::borrow(name));
    }

    // The same steps for a match that is not a str (from a rebound param_pattern).
    void bind_object(PyObject* match) {
        last_ = Ref();
        last_name_ = Ref();
        if (check(PySequence_Contains(match, state.s_for_index))) {
            Ref one = integer(1);
            Ref parts = call_method(match, state.s_split, {state.s_for_index, one.get()});
            Ref container_name, index;
            unpack2(parts.get(), container_name, index);
            Ref container = Ref::steal(PyObject_GetItem(param_, container_name.get()));
            Ref number = Ref::steal(PyNumber_Long(index.get()));
            Ref value = Ref::steal(PyObject_GetItem(container.get(), number.get()));
            check(PyObject_SetItem(binds_, match, value.get()));
            return;
        }
        if (check(PySequence_Contains(param_, match))) {
            Ref value = Ref::steal(PyObject_GetItem(param_, match));
            check(PyObject_SetItem(binds_, match, value.get()));
        } else {
            check(PyObject_SetItem(binds_, match, Py_None));
            unbound_.push_back(Ref::borrow(match));
        }
    }

private:
    // param[name[:at]]; consecutive markers of one list share the lookup while nothing between
    // them can have run Python code (a dict of exact lists).
    Ref container_for(PyObject* name, Py_ssize_t at) {
        if (last_ && PyUnicode_GET_LENGTH(last_name_.get()) == at &&
            PyUnicode_KIND(last_name_.get()) == PyUnicode_KIND(name) &&
            std::memcmp(PyUnicode_DATA(last_name_.get()), PyUnicode_DATA(name),
                        static_cast<size_t>(at) * PyUnicode_KIND(name)) == 0)
            return last_;
        Ref container_name = Ref::steal(PyUnicode_Substring(name, 0, at));
        Ref container = Ref::steal(PyObject_GetItem(param_, container_name.get()));
        bool reusable = PyDict_CheckExact(param_) && PyList_CheckExact(container.get()) &&
                        PyUnicode_KIND(container_name.get()) == PyUnicode_KIND(name);
        last_ = reusable ? container : Ref();
        last_name_ = reusable ? container_name : Ref();
        return container;
    }

    PyObject* binds_;
    PyObject* param_;
    Ref last_name_;
    Ref last_;
    std::vector<Ref> unbound_;
};

// ---- markers without a parameter ----

// A marker whose name is no key of the caller's parameters binds NULL: callers leave optional
// values out on purpose, but a misspelt name runs as well, with NULL. The logger velmo.sql says
// so at WARNING, once per mapper, statement and marker; a mapper remembers at most this many
// of them, and starts afresh when it has.
constexpr Py_ssize_t remembered_unbound = 256;

// Where `needle` first stands in `text` from `from` on, before `to`; npos when nowhere.
size_t find_in(std::string_view text, std::string_view needle, size_t from, size_t to) {
    size_t at = text.find(needle, from);
    return at == std::string_view::npos || at + needle.size() > to ? std::string_view::npos : at;
}

// The 1-based line of `marker` in the mapper file `text`: inside the statement `id` (the last
// statement element of that id, as loading keeps the last), else anywhere in the file (an
// included fragment); 0 when the file does not hold it as written.
long marker_line(std::string_view text, std::string_view id, std::string_view marker) {
    size_t start = std::string_view::npos, end = std::string_view::npos;
    for (const char quote : {'"', '\''}) {
        std::string attribute = std::string("id=") + quote + std::string(id) + quote;
        for (size_t at = text.find(attribute); at != std::string_view::npos; at = text.find(attribute, at + 1)) {
            size_t open = text.rfind('<', at);
            if (open == std::string_view::npos || text.find('>', open) < at || at == 0 ||
                !std::isspace(static_cast<unsigned char>(text[at - 1])))
                continue;
            size_t name_end = open + 1;
            while (name_end < at && std::isalpha(static_cast<unsigned char>(text[name_end]))) ++name_end;
            std::string close = "</" + std::string(text.substr(open + 1, name_end - open - 1));
            if (start == std::string_view::npos || open > start) {
                start = open;
                end = text.find(close, at);
            }
        }
    }
    size_t found = std::string_view::npos;
    if (start != std::string_view::npos)
        found = find_in(text, marker, start, end == std::string_view::npos ? text.size() : end);
    if (found == std::string_view::npos) found = text.find(marker);
    if (found == std::string_view::npos) return 0;
    return 1 + static_cast<long>(std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(found), '\n'));
}

// "users.xml line 12", or the file alone when the marker's line cannot be found.
Ref marker_place(PyObject* where, PyObject* id, PyObject* name) {
    Ref path = Ref::steal_or_null(PyOS_FSPath(where));
    Ref text;
    if (path && PyUnicode_Check(id) && PyUnicode_Check(name)) {
        Ref io = Ref::steal(PyImport_ImportModule("io"));
        Ref file = Ref::steal_or_null(PyObject_CallMethod(io.get(), "open", "Os", path.get(), "rb"));
        if (file) {
            text = Ref::steal_or_null(PyObject_CallMethod(file.get(), "read", nullptr));
            Ref closed = Ref::steal_or_null(PyObject_CallMethod(file.get(), "close", nullptr));
        }
    }
    PyErr_Clear();  // a file that cannot be read again is named without a line
    long line = 0;
    if (text && PyBytes_Check(text.get())) {
        std::string_view bytes(PyBytes_AS_STRING(text.get()), static_cast<size_t>(PyBytes_GET_SIZE(text.get())));
        std::string marker = "#{" + std::string(utf8(name)) + "}";
        line = marker_line(bytes, utf8(id), marker);
    }
    if (line) return Ref::steal(PyUnicode_FromFormat("%S line %ld", where, line));
    return Ref::steal(PyObject_Str(where));
}

[[gnu::noinline, gnu::cold]] void report_unbound(const std::vector<Ref>& names) {
    const StatementScope* scope = current_statement;
    if (!scope) return;
    Ref reported = mapper::mapper_reports(scope->mapper);
    if (!reported || !PySet_Check(reported.get())) return;
    Ref logger;
    for (const Ref& name : names) {
        Ref key = tuple({scope->id, name.get()});
        if (check(PySet_Contains(reported.get(), key.get()))) continue;
        if (!logger) {
            Ref logging = Ref::steal(PyImport_ImportModule("logging"));
            logger = call(getattr(logging.get(), "getLogger").get(), {str("velmo.sql").get()});
        }
        Ref warning = integer(30);
        if (!truthy(call_method(logger.get(), str("isEnabledFor").get(), {warning.get()}).get())) return;
        if (PySet_GET_SIZE(reported.get()) >= remembered_unbound) check(PySet_Clear(reported.get()));
        check(PySet_Add(reported.get(), key.get()));
        Ref statement = mapper::statement_name(scope->mapper, scope->id, nullptr);
        Ref place = marker_place(mapper::mapper_where(scope->mapper).get(), scope->id, name.get());
        call_method(logger.get(), str("log").get(),
                    {warning.get(), str("%s: marker #{%s} (%s) got no parameter; it binds NULL").get(), statement.get(),
                     name.get(), place.get()});
    }
}

// The bind of each marker param_pattern finds in ret, left to right.
void bind_all(Binder& binder, PyObject* ret) {
    visit_text(ret, [&](auto d, Py_ssize_t n) {
        find_markers(d, n, [&](Py_ssize_t b, Py_ssize_t e) {
            Ref name = Ref::steal(PyUnicode_Substring(ret, b, e));
            binder.bind(name.get());
        });
    });
}

// ParseMapper._format_sql(sql) through the module global, natively unless overridden.
Ref format_via_class(PyObject* sql) {
    if (own_static(state.s_format_sql, state.own_format_sql)) return format_sql(sql);
    return call_static(state.s_format_sql, {sql});
}

// ---- clause cache ----

// Final SQL text -> TextClause (state.clause_cache). A TextClause is immutable (its generative
// methods copy), so equal texts may share one. The cache is bounded by an estimate of the
// clauses' memory (about 20 bytes per character of text, binds included, and 512 for the object)
// and evicts the oldest first.
Py_ssize_t clause_weight(PyObject* sql) { return 512 + 20 * PyUnicode_GET_LENGTH(sql); }

void remember_clause(PyObject* sql, PyObject* clause) {
    Py_ssize_t weight = clause_weight(sql);
    if (weight > clause_cache_budget / 4) return;
    while (state.clause_cache_weight + weight > clause_cache_budget && PyDict_GET_SIZE(state.clause_cache) > 0) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        PyDict_Next(state.clause_cache, &pos, &key, &value);
        state.clause_cache_weight -= clause_weight(key);
        check(PyDict_DelItem(state.clause_cache, key));
    }
    dict_set(state.clause_cache, sql, clause);
    state.clause_cache_weight += weight;
}

}  // namespace

Ref make_clause(PyObject* sql) {
    Ref text = load_global(state.globals, state.s_text);
    if (text.get() != state.sqlalchemy_text || !PyUnicode_CheckExact(sql)) return call(text.get(), {sql});
    if (Ref hit = dict_get(state.clause_cache, sql)) return hit;
    Ref clause = call(text.get(), {sql});
    remember_clause(sql, clause.get());
    return clause;
}

Ref to_prepared_statement_fn(const Args& a) {
    PyObject* ret = a[0];
    PyObject* param = a[1];
    Ref binds = Ref::steal(PyDict_New());
    Ref pattern = load_global(state.globals, state.s_param_pattern);
    if (pattern.get() == state.param_pattern && PyUnicode_Check(ret)) {
        Binder binder(binds.get(), param);
        bind_all(binder, ret);
        if (!binder.unbound().empty()) report_unbound(binder.unbound());
    } else {
        Ref matches = call_method(pattern.get(), state.s_findall, {ret});
        Binder binder(binds.get(), param);
        for_each(matches.get(), [&](PyObject* match) {
            if (PyUnicode_Check(match))
                binder.bind(match);
            else
                binder.bind_object(match);
        });
        if (!binder.unbound().empty()) report_unbound(binder.unbound());
    }
    Ref rewritten = rewrite(ret);
    Ref formatted = format_via_class(rewritten.get());
    Ref clause = make_clause(formatted.get());
    return tuple({clause.get(), binds.get()});
}

Ref format_sql_fn(const Args& a) { return format_sql(a[0]); }

namespace {

// Every marker found is replaced again in the whole text, so a value that holds its own marker
// (or two that hold each other's) doubles the text once per occurrence: thirty occurrences would
// ask for gigabytes. A text that would outgrow any SQL statement is refused before it is made.
constexpr Py_ssize_t replaced_text_limit = expanded_text_limit;

void refuse_runaway_growth(PyObject* ret, PyObject* old, PyObject* value) {
    if (!PyUnicode_CheckExact(ret) || !PyUnicode_CheckExact(old) || !PyUnicode_CheckExact(value)) return;
    Py_ssize_t growth = PyUnicode_GET_LENGTH(value) - PyUnicode_GET_LENGTH(old);
    if (growth <= 0) return;
    Py_ssize_t n = PyUnicode_GET_LENGTH(ret);
    Py_ssize_t count = PyUnicode_Count(ret, old, 0, n);
    if (count < 0) throw_error();
    if (count > (replaced_text_limit - n) / growth)
        raise_format(PyExc_MemoryError,
                     "to_replace: replacing %R would make the text longer than %zd characters "
                     "(a value that holds a ${} marker of its own?)",
                     old, replaced_text_limit);
}

}  // namespace

Ref to_replace_fn(const Args& a) {
    Ref ret = Ref::borrow(a[0]);
    PyObject* param = a[1];
    Ref pattern = load_global(state.globals, state.s_replace_pattern);
    Ref matches = call_method(pattern.get(), state.s_findall, {ret.get()});
    for_each(matches.get(), [&](PyObject* match) {
        Ref value = Ref::borrow(state.s_empty);
        if (check(PySequence_Contains(param, match))) value = Ref::steal(PyObject_GetItem(param, match));
        Ref old = concat(concat(state.s_subst_open, match).get(), state.s_marker_close);
        refuse_runaway_growth(ret.get(), old.get(), value.get());
        ret = call_method(ret.get(), state.s_replace, {old.get(), value.get()});
    });
    return ret;
}

}  // namespace velmo::drovik
