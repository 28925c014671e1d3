// Strings: the whitespace normaliser and the text accumulator.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "../sql/reading.hpp"
#include "drovik.hpp"

namespace velmo::drovik {

using namespace velmo::rt;

namespace {

// Character classes of the normaliser: ordinary text, whitespace, and the characters that may
// open a comment or a quoted section.
enum : uint8_t { ordinary = 0, blank = 1, opener = 2 };

struct ClassTable {
    uint8_t of[256];
    ClassTable() {
        for (int c = 0; c < 256; ++c)
            of[c] = Py_UNICODE_ISSPACE(static_cast<Py_UCS4>(c))           ? blank
                    : sql::may_change_plain_code(static_cast<Py_UCS4>(c)) ? opener
                                                                          : ordinary;
    }
};
const ClassTable classes;

template <class C>
inline uint8_t class_of(C c) {
    if (sizeof(C) == 1 || c < 256) return classes.of[static_cast<uint8_t>(c)];
    return Py_UNICODE_ISSPACE(static_cast<Py_UCS4>(c)) ? blank : ordinary;
}

// The whitespace after "--" that makes it a comment on every database: ASCII whitespace.
template <class C>
inline bool dash_comment_blank(C c) {
    return c == ' ' || (c >= 0x09 && c <= 0x0d) || (c >= 0x1c && c <= 0x1f);
}

// Writes the normalised form of in[0, n) to out (at most n + 1 characters: a line comment at the
// very end gains its line break); returns its length.
//
// Under both readings of sql::Readings at once: a character inside a string of any reading
// is copied as it is; a line comment of any reading is kept to its line end less trailing blanks,
// and the whitespace after it becomes one line break; whitespace inside a block comment becomes
// one space; other runs of whitespace become one space, none at the ends. A "--" before ASCII
// whitespace that starts in plain code is a comment on every database: it is removed up to its
// line end, as whitespace.
template <class C>
size_t normalise_into(const C* in, size_t n, C* out) {
    constexpr size_t none = static_cast<size_t>(-1);
    sql::Readings r;
    size_t o = 0;
    bool gap = false;              // whitespace (or a removed comment) since the last output
    bool line_gap = false;         // ... and a line comment ended in it: the gap is a line break
    bool block_space = false;      // the last output is the space of a block comment's whitespace
    size_t comment_blanks = none;  // where the blanks at the end of a line comment's output begin
    auto flush_gap = [&] {
        if (gap && o > 0) out[o++] = line_gap ? '\n' : ' ';
        gap = line_gap = false;
    };
    size_t i = 0;
    while (i < n) {
        C c = in[i];
        uint8_t k = class_of(c);
        if (r.idle()) {
            // Plain code: nothing but a quote or comment opener changes the readings.
            if (k == blank) {
                gap = true;
                while (++i < n && class_of(in[i]) == blank) {
                }
                continue;
            }
            size_t j = i + 1;
            if (k == ordinary) {
                while (j < n && class_of(in[j]) == ordinary) ++j;
            } else if (size_t end = static_cast<size_t>(
                           sql::marker_end(in, static_cast<Py_ssize_t>(i), static_cast<Py_ssize_t>(n)))) {
                // A bind marker, one token: copied as it is when it holds no whitespace (which the
                // character by character road collapses).
                while (j < end && class_of(in[j]) != blank) ++j;
                if (j < end) j = i;
            } else {
                j = i;
            }
            if (j > i) {
                flush_gap();
                std::memcpy(out + o, in + i, (j - i) * sizeof(C));
                o += j - i;
                i = j;
                continue;
            }
        }
        if (c == '-' && r.plain() && i + 1 < n && in[i + 1] == '-' && (i + 2 == n || dash_comment_blank(in[i + 2]))) {
            // Both readings end it at the same "\n" (a "\r" ends it on PostgreSQL only).
            size_t j = i + 2;
            while (j < n && !sql::line_end(in[j])) ++j;
            if (j == n || in[j] == '\n') {
                i = j;
                r.reset();
                gap = true;
                continue;
            }
        }
        bool marker = c == '#' && sql::marker_end(in, static_cast<Py_ssize_t>(i), static_cast<Py_ssize_t>(n));
        bool ended = r.step(c, i >= 1 ? in[i - 1] : 0, i >= 2 ? in[i - 2] : 0, marker);
        ++i;
        if (k != blank) {
            flush_gap();
            comment_blanks = none;
            block_space = false;
            out[o++] = c;
        } else if (r.protects()) {
            out[o++] = c;
        } else if (r.in_line()) {
            if (comment_blanks == none) comment_blanks = o;
            out[o++] = c;
        } else if (ended) {
            if (comment_blanks != none) o = comment_blanks;
            comment_blanks = none;
            gap = line_gap = true;
        } else if (r.in_block() && !gap) {
            if (!block_space) out[o++] = ' ';
            block_space = true;
        } else {
            gap = true;
        }
    }
    if (r.in_line()) {
        if (comment_blanks != none) o = comment_blanks;
        out[o++] = '\n';
    } else if (line_gap) {
        out[o++] = '\n';
    }
    return o;
}

}  // namespace

Ref normalise(PyObject* s) {
    if (PyUnicode_GET_LENGTH(s) == 0) return PyUnicode_CheckExact(s) ? Ref::borrow(s) : Ref::borrow(state.s_empty);
    return visit_text(s, [&](auto in, Py_ssize_t length) {
        using C = std::remove_cv_t<std::remove_pointer_t<decltype(in)>>;
        size_t n = static_cast<size_t>(length);
        // No Python code runs while the scratch space is in use.
        std::vector<char>& scratch = state.scratch;
        if (scratch.size() < (n + 1) * sizeof(C)) scratch.resize((n + 1) * sizeof(C));
        C* out = reinterpret_cast<C*>(scratch.data());
        size_t len = normalise_into(in, n, out);
        if (len == n && PyUnicode_CheckExact(s) && std::memcmp(in, out, n * sizeof(C)) == 0) return Ref::borrow(s);
        // FromKindAndData picks the narrowest kind, as every str must have.
        return Ref::steal(PyUnicode_FromKindAndData(sizeof(C), out, static_cast<Py_ssize_t>(len)));
    });
}

Ref format_sql(PyObject* sql) {
    if (PyUnicode_Check(sql)) return normalise(sql);
    // Not text: what " ".join(sql.strip().split()) does with it.
    Ref stripped = call_method(sql, state.s_strip);
    Ref parts = call_method(stripped.get(), state.s_split);
    return Ref::steal(PyUnicode_Join(state.s_space, parts.get()));
}

// ---- Text ----

void Text::push(Ref s) {
    if (size_ < inline_capacity)
        first_[size_] = std::move(s);
    else
        more_.push_back(std::move(s));
    ++size_;
}

void Text::clear() noexcept {
    for (size_t i = 0; i < size_ && i < inline_capacity; ++i) first_[i] = Ref();
    more_.clear();
    size_ = 0;
}

void Text::add(Ref piece) {
    if (!generic_ && PyUnicode_CheckExact(piece.get())) {
        if (PyUnicode_GET_LENGTH(piece.get()) > 0) push(std::move(piece));
        return;
    }
    // `ret += piece` with Python's own semantics (and errors) for anything but str + str.
    Ref acc = generic_ ? std::move(generic_) : join();
    Ref sum = Ref::steal(PyNumber_InPlaceAdd(acc.get(), piece.get()));
    clear();
    if (PyUnicode_CheckExact(sum.get())) {
        if (PyUnicode_GET_LENGTH(sum.get()) > 0) push(std::move(sum));
    } else {
        generic_ = std::move(sum);
    }
}

void Text::take(Ref value) {
    if (whole_ && size_ == 0 && !generic_ && !PyUnicode_CheckExact(value.get())) {
        generic_ = std::move(value);
        return;
    }
    add(std::move(value));
}

Ref Text::join() {
    if (size_ == 0) return Ref::borrow(state.s_empty);
    if (size_ == 1) return first_[0];
    Py_ssize_t total = 0;
    Py_UCS4 maxchar = 0;
    for (size_t i = 0; i < size_; ++i) {
        total += PyUnicode_GET_LENGTH(piece(i));
        maxchar = std::max(maxchar, PyUnicode_MAX_CHAR_VALUE(piece(i)));
    }
    Ref out = Ref::steal(PyUnicode_New(total, maxchar));
    int kind = PyUnicode_KIND(out.get());
    char* dst = static_cast<char*>(PyUnicode_DATA(out.get()));
    Py_ssize_t at = 0;
    for (size_t i = 0; i < size_; ++i) {
        PyObject* p = piece(i);
        Py_ssize_t len = PyUnicode_GET_LENGTH(p);
        if (PyUnicode_KIND(p) == kind)
            std::memcpy(dst + at * kind, PyUnicode_DATA(p), static_cast<size_t>(len) * kind);
        else
            check(static_cast<int>(PyUnicode_CopyCharacters(out.get(), at, p, 0, len)));
        at += len;
    }
    return out;
}

Ref Text::finish() {
    if (generic_) return generic_;
    return join();
}

}  // namespace velmo::drovik
