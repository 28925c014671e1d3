// Prefix and suffix trimming (trim and set elements) and the where element's clause.
#include <algorithm>
#include <cstring>

#include "../sql/reading.hpp"
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

// Reads t[p] as a str of any kind.
inline Py_UCS4 at(PyObject* t, Py_ssize_t p) { return PyUnicode_READ_CHAR(t, p); }

// Where the line comment that opens at t[p] ends (after the "\n" that ends it on every database,
// or at `end`), for text read from p on: a "#" that opens no bind marker, or "--". -1 when none
// opens there.
Py_ssize_t comment_at(PyObject* t, Py_ssize_t p, Py_ssize_t end) {
    if (p >= end) return -1;
    Py_UCS4 c = at(t, p);
    bool opens = c == '#' ? !visit_text(t, [&](auto d, Py_ssize_t) { return sql::marker_end(d, p, end); })
                          : c == '-' && p + 1 < end && at(t, p + 1) == '-';
    if (!opens) return -1;
    Py_ssize_t stop = PyUnicode_FindChar(t, '\n', p + 1, end, 1);
    return stop < 0 ? end : stop + 1;
}

// Whether cutting t[b, m) off the front would cut into a line comment: read from b, some reading
// is in one before m, or the character after the cut continues an opener the cut ends with.
bool cuts_into_comment(PyObject* t, Py_ssize_t b, Py_ssize_t m, Py_ssize_t end) {
    return visit_text(t, [&](auto d, Py_ssize_t) {
        sql::Readings r;
        for (Py_ssize_t q = b; q < std::min(m + 1, end); ++q) {
            r.step(d[q], q > b ? d[q - 1] : 0, q > b + 1 ? d[q - 2] : 0, sql::marker_end(d, q, end) != 0);
            if (r.in_line()) return true;
        }
        return false;
    });
}

// Adds t[start, stop) to the comments kept so far, after them or in front of them.
void keep(Ref& kept, PyObject* t, Py_ssize_t start, Py_ssize_t stop, bool in_front = false) {
    Ref piece = Ref::steal(PyUnicode_Substring(t, start, stop));
    if (!kept)
        kept = std::move(piece);
    else
        kept = in_front ? concat(piece.get(), kept.get()) : concat(kept.get(), piece.get());
}

// A line comment of the normalised text that trimming keeps whole: [start, stop), its line
// break included.
struct Unit {
    Py_ssize_t start, stop;
};

// The line comments of t that open where every reading is in plain code and end where every
// reading is back in it (a comment that ends inside another reading's string is not one).
std::vector<Unit> comment_units(PyObject* t) {
    std::vector<Unit> units;
    visit_text(t, [&](auto d, Py_ssize_t n) {
        sql::Readings r;
        Py_ssize_t open = -1;
        for (Py_ssize_t i = 0; i < n; ++i) {
            Py_UCS4 c = d[i];
            if (r.idle() && !sql::may_change_plain_code(c)) continue;
            if (open < 0 && r.plain() && comment_at(t, i, n) >= 0) open = i;
            bool ended = r.step(c, i >= 1 ? d[i - 1] : 0, i >= 2 ? d[i - 2] : 0, sql::marker_end(d, i, n) != 0);
            if (ended && open >= 0) {
                if (!r.protects() && !r.in_block() && !r.in_line()) units.push_back({open, i + 1});
                open = -1;
            }
        }
        if (open >= 0 && r.in_line() && !r.protects() && !r.in_block()) units.push_back({open, n});
    });
    return units;
}

// Whether the override o matches t at the front of [b, e) (or at its end for a suffix).
bool override_matches(PyObject* t, Py_ssize_t b, Py_ssize_t e, const Override& o, bool suffix) {
    if (PyUnicode_Check(o.value.get()))
        return o.length <= e - b && match_at(t, suffix ? e - o.length : b, o.value.get());
    // Not text: str.startswith / endswith decide (a tuple of strs works, others raise).
    Ref current = Ref::steal(PyUnicode_Substring(t, b, e));
    return truthy(call_method(current.get(), suffix ? state.s_endswith : state.s_startswith, {o.value.get()}).get());
}

// Leading overrides cut off; line comments in front stay in front, whole.
Ref trim_front(PyObject* t, const std::vector<Override>& overrides) {
    Py_ssize_t b = 0, e = PyUnicode_GET_LENGTH(t);
    strip_range(t, b, e);
    Ref lead;
    for (bool cut = true; cut;) {
        cut = false;
        if (Py_ssize_t stop = comment_at(t, b, e); stop >= 0) {
            keep(lead, t, b, stop);
            b = stop;
            strip_range(t, b, e);
            cut = true;
            continue;
        }
        for (const Override& o : overrides) {
            // An empty override matches every text: it would never let the loop end.
            if (o.length == 0 || !override_matches(t, b, e, o, false)) continue;
            if (PyUnicode_Check(o.value.get()) && cuts_into_comment(t, b, b + o.length, e)) continue;
            b = std::min(e, b + o.length);
            strip_range(t, b, e);
            cut = true;
            break;
        }
    }
    Ref rest = b == 0 && e == PyUnicode_GET_LENGTH(t) ? Ref::borrow(t) : Ref::steal(PyUnicode_Substring(t, b, e));
    return lead ? concat(lead.get(), rest.get()) : rest;
}

// Trailing overrides cut off the text in front of the trailing line comments, which stay at
// the end, whole.
Ref trim_back(PyObject* t, const std::vector<Override>& overrides) {
    std::vector<Unit> units = comment_units(t);
    size_t u = units.size();  // the units before the end of the text still in front
    Py_ssize_t b = 0, e = PyUnicode_GET_LENGTH(t);
    strip_range(t, b, e);
    Ref comments;
    for (bool cut = true; cut;) {
        cut = false;
        if (u > 0 && units[u - 1].start < e && e <= units[u - 1].stop) {
            const Unit& unit = units[--u];
            keep(comments, t, unit.start, unit.stop, true);
            e = std::max(b, unit.start);
            strip_range(t, b, e);
            cut = true;
            continue;
        }
        for (const Override& o : overrides) {
            if (o.length == 0 || !override_matches(t, b, e, o, true)) continue;
            // Never into a comment: the text cut off lies after the last one in front.
            if (u > 0 && PyUnicode_Check(o.value.get()) && units[u - 1].stop > e - o.length) continue;
            e = std::max(b, e - o.length);
            strip_range(t, b, e);
            cut = true;
            break;
        }
    }
    Ref front = b == 0 && e == PyUnicode_GET_LENGTH(t) ? Ref::borrow(t) : Ref::steal(PyUnicode_Substring(t, b, e));
    if (!comments) return front;
    if (e > b) front = concat(front.get(), state.s_space);
    return concat(front.get(), comments.get());
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
        if (!equal(upper.get(), and_word.get()) && !equal(upper.get(), or_word.get())) break;
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
    Ref norm = normalise(s);
    return sql::end_line_comment(suffix ? trim_back(norm.get(), overrides) : trim_front(norm.get(), overrides));
}

Ref where_clause(PyObject* body) {
    if (!PyUnicode_Check(body)) return where_generic(body);
    Ref norm = normalise(body);
    PyObject* t = norm.get();
    Py_ssize_t n = PyUnicode_GET_LENGTH(t), p = 0;
    // Leading AND / OR words go, in any letter case and any number; line comments among them
    // stay in front of the first condition, whole.
    Ref comments;
    while (p < n) {
        if (Py_ssize_t stop = comment_at(t, p, n); stop >= 0) {
            keep(comments, t, p, stop);
            p = stop;
            continue;
        }
        Py_ssize_t len = word_at(t, p, "and", 3) ? 3 : word_at(t, p, "or", 2) ? 2 : 0;
        if (!len) break;
        p += len + 1;
    }
    if (p >= n) return Ref::borrow(state.s_empty);
    Ref rest = p == 0 ? norm : Ref::steal(PyUnicode_Substring(t, p, n));
    if (comments) rest = concat(comments.get(), rest.get());
    return sql::end_line_comment(Ref::steal(PyUnicode_Concat(state.s_where, rest.get())));
}

Ref trim_prefix_fn(const Args& a) { return trim_text(a[0], overrides_of(a[1]), false); }

Ref trim_suffix_fn(const Args& a) { return trim_text(a[0], overrides_of(a[1]), true); }

}  // namespace velmo::drovik
