// Prefix and suffix trimming (trim and set elements) and the where element's clause.
#include <algorithm>
#include <cstring>

#include "drovik.hpp"

namespace velmo::drovik {

using namespace velmo::rt;

namespace {

// Whether t[pos, pos + len(o)) equals the override o (a str).
bool match_at(PyObject* t, Py_ssize_t pos, PyObject* o) {
    Py_ssize_t len = PyUnicode_GET_LENGTH(o);
    int tk = PyUnicode_KIND(t), ok = PyUnicode_KIND(o);
    const void* td = PyUnicode_DATA(t);
    const void* od = PyUnicode_DATA(o);
    if (tk == ok) return std::memcmp(static_cast<const char*>(td) + pos * tk, od, static_cast<size_t>(len) * tk) == 0;
    for (Py_ssize_t i = 0; i < len; ++i)
        if (PyUnicode_READ(tk, td, pos + i) != PyUnicode_READ(ok, od, i)) return false;
    return true;
}

// Whether t[p] opens a "#" comment of normalised text (which then runs to a line break).
bool comment_at(PyObject* t, Py_ssize_t p, Py_ssize_t n) {
    return p < n && PyUnicode_READ_CHAR(t, p) == '#' && (p + 1 == n || PyUnicode_READ_CHAR(t, p + 1) != '{');
}

// Moves the "#" comment at t[p], with its line break (which must come before `end`), onto
// `kept`; false when no such comment starts there.
bool take_comment(PyObject* t, Py_ssize_t& p, Py_ssize_t end, Ref& kept) {
    if (!comment_at(t, p, end)) return false;
    Py_ssize_t stop = PyUnicode_FindChar(t, '\n', p, end, 1);
    if (stop == -2) throw_error();
    if (stop < 0) return false;
    Ref comment = Ref::steal(PyUnicode_Substring(t, p, stop + 1));
    kept = kept ? concat(kept.get(), comment.get()) : std::move(comment);
    p = stop + 1;
    return true;
}

// Whether the word of t at p is `word` (lower case ASCII) in any letter case, followed by the
// end or the space that separates words.
bool word_at(PyObject* t, Py_ssize_t p, const char* word, Py_ssize_t len) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(t);
    if (n - p < len) return false;
    int kind = PyUnicode_KIND(t);
    const void* data = PyUnicode_DATA(t);
    for (Py_ssize_t i = 0; i < len; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, p + i);
        if (c >= 'A' && c <= 'Z') c += 'a' - 'A';
        if (c != static_cast<Py_UCS4>(word[i])) return false;
    }
    return p + len == n || PyUnicode_READ(kind, data, p + len) == ' ';
}

// The where clause for a body that is not text: the word loop over temp.strip().split().
Ref where_generic(PyObject* body) {
    Ref stripped = call_method(body, state.s_strip);
    if (PyUnicode_Check(stripped.get())) return where_clause(stripped.get());
    Ref words = Ref::steal(PySequence_List(call_method(stripped.get(), state.s_split).get()));
    Py_ssize_t n = PyList_GET_SIZE(words.get()), idx = 0;
    Ref and_word = str("AND"), or_word = str("OR");
    for (Py_ssize_t k = 0; k < n; ++k) {
        Ref upper = call_method(PyList_GET_ITEM(words.get(), idx), state.s_upper);
        if (!equals(upper.get(), and_word.get()) && !equals(upper.get(), or_word.get())) break;
        ++idx;
    }
    if (idx == n) return Ref::borrow(state.s_empty);
    Ref rest = Ref::steal(PyList_GetSlice(words.get(), idx, n));
    Ref joined = Ref::steal(PyUnicode_Join(state.s_space, rest.get()));
    return Ref::steal(PyUnicode_Concat(state.s_where, joined.get()));
}

}  // namespace

void order_overrides(std::vector<Override>& overrides) {
    std::stable_sort(overrides.begin(), overrides.end(),
                     [](const Override& a, const Override& b) { return a.length > b.length; });
}

std::vector<Override> overrides_of(PyObject* set) {
    std::vector<Override> list;
    for_each(set, [&](PyObject* item) {
        Py_ssize_t len = PyUnicode_Check(item) ? PyUnicode_GET_LENGTH(item) : PyObject_Size(item);
        if (len < 0) throw_error();
        list.push_back({Ref::borrow(item), len});
    });
    order_overrides(list);
    return list;
}

Ref trim_text(PyObject* s, const std::vector<Override>& overrides, bool suffix) {
    Py_ssize_t comment;
    Ref norm = normalise(s, comment);
    PyObject* t = norm.get();
    Py_ssize_t n = PyUnicode_GET_LENGTH(t);
    // The line break that ends a closing "#" comment takes no part in matching or stripping.
    Py_ssize_t b = 0, e = comment >= 0 ? n - 1 : n;
    Ref lead;  // leading "#" comments, kept in front of what the prefixes leave
    for (bool cut = true; cut;) {
        cut = !suffix && take_comment(t, b, e, lead);
        if (cut) continue;
        for (const Override& o : overrides) {
            // An empty override matches every text: it would never let the loop end.
            if (o.length == 0) continue;
            bool hit;
            if (PyUnicode_Check(o.value.get())) {
                hit = o.length <= e - b && match_at(t, suffix ? e - o.length : b, o.value.get());
            } else {
                // Not text: str.startswith / endswith decide (a tuple of strs works, others raise).
                Ref current = Ref::steal(PyUnicode_Substring(t, b, e));
                hit = truthy(
                    call_method(current.get(), suffix ? state.s_endswith : state.s_startswith, {o.value.get()}).get());
            }
            if (hit) {
                if (suffix)
                    e = std::max(b, e - o.length);
                else
                    b = std::min(e, b + o.length);
                strip_range(t, b, e);
                cut = true;
                break;
            }
        }
    }
    strip_range(t, b, e);
    Ref rest;
    if (comment >= b && comment < e) {
        // While any of the closing comment is left, its line break follows it.
        if (e == n - 1)
            ++e;
        else
            rest = concat(Ref::steal(PyUnicode_Substring(t, b, e)).get(), state.s_newline);
    }
    if (!rest) rest = b == 0 && e == n ? norm : Ref::steal(PyUnicode_Substring(t, b, e));
    return lead ? concat(lead.get(), rest.get()) : rest;
}

Ref where_clause(PyObject* body) {
    if (!PyUnicode_Check(body)) return where_generic(body);
    Ref norm = normalise(body);
    PyObject* t = norm.get();
    Py_ssize_t n = PyUnicode_GET_LENGTH(t), p = 0;
    // Leading AND / OR words go, in any letter case and any number; "#" comments among them
    // stay in front of the first condition.
    Ref comments;
    while (p < n) {
        if (take_comment(t, p, n, comments)) continue;
        Py_ssize_t len = word_at(t, p, "and", 3) ? 3 : word_at(t, p, "or", 2) ? 2 : 0;
        if (!len) break;
        p += len + 1;
    }
    if (p >= n) return Ref::borrow(state.s_empty);
    Ref rest = p == 0 ? norm : Ref::steal(PyUnicode_Substring(t, p, n));
    if (comments) rest = concat(comments.get(), rest.get());
    return Ref::steal(PyUnicode_Concat(state.s_where, rest.get()));
}

Ref trim_prefix_fn(const Args& a) { return trim_text(a[0], overrides_of(a[1]), false); }

Ref trim_suffix_fn(const Args& a) { return trim_text(a[0], overrides_of(a[1]), true); }

}  // namespace velmo::drovik
