// Statement preparation: bind markers to named binds, formatting, and the clause cache.
//
// The marker patterns of the module are honoured as module globals: while param_pattern and
// re are the ones imported, findall and the marker rewrite run natively over the str's buffer
// (same matches, same order); a rebound global is called instead.
#include <cstring>

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
// matched.
template <class C>
Py_ssize_t rewrite_markers(const C* d, Py_ssize_t n, C* out) {
    Py_ssize_t o = 0, i = 0;
    bool any = false;
    while (i < n) {
        if (d[i] == '#' && i + 2 < n && d[i + 1] == '{' && d[i + 2] != '}') {
            Py_ssize_t j = i + 3;
            while (j < n && d[j] != '}') ++j;
            if (j == n) break;  // no closing brace anywhere after: no further match either
            out[o++] = ':';
            std::memcpy(out + o, d + i + 2, static_cast<size_t>(j - i - 2) * sizeof(C));
            o += j - i - 2;
            i = j + 1;
            any = true;
            continue;
        }
        out[o++] = d[i++];
    }
    if (!any) return -1;
    std::memcpy(out + o, d + i, static_cast<size_t>(n - i) * sizeof(C));
    return o + (n - i);
}

std::vector<char> rewrite_scratch;

template <class C>
Ref rewrite_kind(PyObject* s) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    if (rewrite_scratch.size() < static_cast<size_t>(n) * sizeof(C)) rewrite_scratch.resize(n * sizeof(C));
    C* out = reinterpret_cast<C*>(rewrite_scratch.data());
    Py_ssize_t len = rewrite_markers(static_cast<const C*>(PyUnicode_DATA(s)), n, out);
    if (len < 0) return PyUnicode_CheckExact(s) ? Ref::borrow(s) : Ref::steal(PyUnicode_FromObject(s));
    return Ref::steal(PyUnicode_FromKindAndData(sizeof(C), out, len));
}

// re.sub(pattern, replacement, ret) through the module global re (native while that is the
// re imported and its sub the one it had).
Ref rewrite(PyObject* ret) {
    Ref re = global(state.n_re);
    Ref sub = getattr(re.get(), state.n_sub);
    if (re.get() != state.re_module || sub.get() != state.re_sub || !PyUnicode_Check(ret))
        return call(sub.get(), {state.sub_pattern, state.sub_replacement, ret});
    switch (PyUnicode_KIND(ret)) {
        case PyUnicode_1BYTE_KIND: return rewrite_kind<Py_UCS1>(ret);
        case PyUnicode_2BYTE_KIND: return rewrite_kind<Py_UCS2>(ret);
        default: return rewrite_kind<Py_UCS4>(ret);
    }
}

// Decimal digits only, short enough for a Py_ssize_t: the index; else -1 (int() decides).
Py_ssize_t plain_index(PyObject* name, Py_ssize_t from) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(name);
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

    void bind(PyObject* name) {
        Py_ssize_t n = PyUnicode_GET_LENGTH(name);
        Py_ssize_t at = n >= 11 ? PyUnicode_Find(name, state.s_for_index, 0, n, 1) : -1;
        if (at == -2) throw_error();
        if (at >= 0) {
            // param[container_name][int(index)]
            Ref container = container_for(name, at);
            Py_ssize_t index = plain_index(name, at + 11);
            if (index >= 0 && PyList_CheckExact(container.get()) && index < PyList_GET_SIZE(container.get())) {
                dict_set(binds_, name, PyList_GET_ITEM(container.get(), index));
                return;
            }
            Ref text = Ref::steal(PyUnicode_Substring(name, at + 11, n));
            Ref number = Ref::steal(PyLong_FromUnicodeObject(text.get(), 10));
            Ref value = Ref::steal(PyObject_GetItem(container.get(), number.get()));
            dict_set(binds_, name, value.get());
            return;
        }
        // A lookup by key may run Python code (a key's __eq__): no sharing across it.
        last_ = Ref();
        last_name_ = Ref();
        if (PyDict_CheckExact(param_)) {
            Ref value = dict_get(param_, name);
            dict_set(binds_, name, value ? value.get() : Py_None);
            return;
        }
        if (check(PySequence_Contains(param_, name))) {
            Ref value = Ref::steal(PyObject_GetItem(param_, name));
            dict_set(binds_, name, value.get());
        } else {
            dict_set(binds_, name, Py_None);
        }
    }

    // The same steps for a match that is not a str (from a rebound param_pattern).
    void bind_object(PyObject* match) {
        last_ = Ref();
        last_name_ = Ref();
        if (check(PySequence_Contains(match, state.s_for_index))) {
            Ref one = integer(1);
            Ref parts = call_method(match, state.n_split, {state.s_for_index, one.get()});
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
};

template <class C>
void bind_all(Binder& binder, PyObject* ret) {
    const C* d = static_cast<const C*>(PyUnicode_DATA(ret));
    find_markers(d, PyUnicode_GET_LENGTH(ret), [&](Py_ssize_t b, Py_ssize_t e) {
        Ref name = Ref::steal(PyUnicode_Substring(ret, b, e));
        binder.bind(name.get());
    });
}

// ParseMapper._format_sql(sql) through the module global, natively unless overridden.
Ref format_via_class(PyObject* sql) {
    PyObject* cls = PyDict_GetItemWithError(state.globals, state.n_mapper_class);
    if (cls && Py_TYPE(cls) == &PyType_Type &&
        _PyType_Lookup(reinterpret_cast<PyTypeObject*>(cls), state.n_format_sql) == state.own_format_sql)
        return format_sql(sql);
    if (PyErr_Occurred()) throw_error();
    Ref mapper = global(state.n_mapper_class);
    Ref fn = getattr(mapper.get(), state.n_format_sql);
    return call(fn.get(), {sql});
}

// ---- clause cache ----

// Final SQL text -> TextClause. A TextClause is immutable (its generative methods copy), so
// equal texts may share one. The cache is bounded by an estimate of the clauses' memory
// (about 20 bytes per character of text, binds included) and evicts the oldest first.
PyObject* clause_cache;
Py_ssize_t clause_cache_weight = 0;
constexpr Py_ssize_t clause_cache_budget = 4 << 20;

Py_ssize_t clause_weight(PyObject* sql) { return 512 + 20 * PyUnicode_GET_LENGTH(sql); }

void remember_clause(PyObject* sql, PyObject* clause) {
    Py_ssize_t weight = clause_weight(sql);
    if (weight > clause_cache_budget / 4) return;
    while (clause_cache_weight + weight > clause_cache_budget && PyDict_GET_SIZE(clause_cache) > 0) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        PyDict_Next(clause_cache, &pos, &key, &value);
        clause_cache_weight -= clause_weight(key);
        check(PyDict_DelItem(clause_cache, key));
    }
    dict_set(clause_cache, sql, clause);
    clause_cache_weight += weight;
}

}  // namespace

Ref make_clause(PyObject* sql) {
    Ref text = global(state.n_text_fn);
    if (text.get() != state.text || !PyUnicode_CheckExact(sql)) return call(text.get(), {sql});
    if (!clause_cache) clause_cache = check(PyDict_New());
    if (Ref hit = dict_get(clause_cache, sql)) return hit;
    Ref clause = call(text.get(), {sql});
    remember_clause(sql, clause.get());
    return clause;
}

Ref to_prepared_statement_fn(const Args& a) {
    PyObject* ret = a[0];
    PyObject* param = a[1];
    Ref binds = Ref::steal(PyDict_New());
    Ref pattern = global(state.n_param_pattern);
    if (pattern.get() == state.param_pattern && PyUnicode_Check(ret)) {
        Binder binder(binds.get(), param);
        switch (PyUnicode_KIND(ret)) {
            case PyUnicode_1BYTE_KIND: bind_all<Py_UCS1>(binder, ret); break;
            case PyUnicode_2BYTE_KIND: bind_all<Py_UCS2>(binder, ret); break;
            default: bind_all<Py_UCS4>(binder, ret); break;
        }
    } else {
        Ref matches = call_method(pattern.get(), state.n_findall, {ret});
        Binder binder(binds.get(), param);
        Ref it = Ref::steal(PyObject_GetIter(matches.get()));
        while (Ref match = Ref::steal_or_null(PyIter_Next(it.get()))) {
            if (PyUnicode_Check(match.get()))
                binder.bind(match.get());
            else
                binder.bind_object(match.get());
        }
        if (PyErr_Occurred()) throw_error();
    }
    Ref rewritten = rewrite(ret);
    Ref formatted = format_via_class(rewritten.get());
    Ref clause = make_clause(formatted.get());
    return tuple({clause.get(), binds.get()});
}

Ref format_sql_fn(const Args& a) { return format_sql(a[0]); }

Ref to_replace_fn(const Args& a) {
    Ref ret = Ref::borrow(a[0]);
    PyObject* param = a[1];
    Ref pattern = global(state.n_replace_pattern);
    Ref matches = call_method(pattern.get(), state.n_findall, {ret.get()});
    Ref it = Ref::steal(PyObject_GetIter(matches.get()));
    while (Ref match = Ref::steal_or_null(PyIter_Next(it.get()))) {
        Ref value = Ref::borrow(state.s_empty);
        if (check(PySequence_Contains(param, match.get()))) value = Ref::steal(PyObject_GetItem(param, match.get()));
        Ref old = concat(concat(state.s_subst_open, match.get()).get(), state.s_marker_close);
        ret = call_method(ret.get(), state.n_replace, {old.get(), value.get()});
    }
    if (PyErr_Occurred()) throw_error();
    return ret;
}

}  // namespace velmo::drovik
