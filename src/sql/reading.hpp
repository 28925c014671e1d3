// How SQL text reads on the databases velmo runs on, for every step that joins, re-spaces, trims
// or extends statement text.
//
// The databases disagree on what is a string and what is a comment. MySQL and MariaDB take
// backslash escapes in '…' and "…", quote names in `…`, read "#" as a line comment and "--" as
// one only before whitespace or a control character ("5--3" is 8 there); their line comments end
// at "\n" only. PostgreSQL reads any "--" as a comment (to "\n" or "\r"), has E'…' strings with
// backslash escapes, $tag$…$tag$ strings and nested /* */ comments, and "#" is an operator.
// SQLite reads '…', "…" and "--" as PostgreSQL does and `…` and /* */ as MySQL does, so the two
// readings cover it. `Readings` runs them side by side, one character at a time, so that a
// caller can take the reading under which it changes less: what is a string under either
// reading stays verbatim, and a line that holds a line comment under either reading keeps its
// line break. A bind marker #{…} closed on its line is one token under both readings (it becomes
// ":name" before the text reaches a database); a "#{" without its "}" stays in the text, where
// MySQL reads a comment.
//
// Lexers see one character and the two in front of it (for E'…' and the start of $tag$), so the
// same machine reads a whole text and a text fed piece by piece (`Tail`).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>

#include "../runtime/ref.hpp"
#include "../runtime/text.hpp"

namespace velmo::sql {

struct Dialect {
    bool backslash_quotes;  // '…' and "…" take backslash escapes
    bool hash_comments;     // "#" starts a line comment
    bool dash_needs_blank;  // "--" is a comment only before whitespace or a control character
    bool nested_blocks;     // /* */ comments nest
    bool e_strings;         // E'…' takes backslash escapes
    bool dollar_quotes;     // $tag$…$tag$
    bool backticks;         // `…` quotes a name
    bool cr_ends_line;      // a line comment ends at "\r" as well as at "\n"
};

inline constexpr Dialect mysql{true, true, true, false, false, false, true, false};
inline constexpr Dialect postgresql{false, false, false, true, true, true, false, true};

inline bool line_end(Py_UCS4 c) { return c == '\n' || c == '\r'; }

// A name character in PostgreSQL: what may stand in front of E'…' or $tag$ inside one token.
inline bool name_char(Py_UCS4 c) {
    return c >= 0x80 || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '$';
}

// What MySQL's lexer takes for whitespace or a control character after "--" (it reads bytes, so
// nothing beyond ASCII; the end of the text counts too).
inline bool mysql_dash_follower(Py_UCS4 c) { return c <= ' ' || c == 0x7f; }

// Characters that can change the state of a reading that is in plain code with nothing pending.
struct OpenerTable {
    bool of[128] = {};
    constexpr OpenerTable() {
        for (char c : {'\'', '"', '`', '-', '/', '#', '$'}) of[static_cast<unsigned char>(c)] = true;
    }
};
inline constexpr OpenerTable openers;
inline bool may_change_plain_code(Py_UCS4 c) { return c < 128 && openers.of[c]; }

// Where the bind marker "#{…}" at d[i] ends (after its "}"), or 0 when none opens there: a "#{",
// something, and a "}" on the same line.
template <class C>
Py_ssize_t marker_end(const C* d, Py_ssize_t i, Py_ssize_t n) {
    if (i + 2 >= n || d[i] != '#' || d[i + 1] != '{' || d[i + 2] == '}') return 0;
    for (Py_ssize_t j = i + 2; j < n && !line_end(d[j]); ++j)
        if (d[j] == '}') return j + 1;
    return 0;
}

// The first position at or after i whose character may change a reading in plain code; a bind
// marker is stepped over whole.
template <class C>
Py_ssize_t next_opener(const C* d, Py_ssize_t i, Py_ssize_t n) {
    for (;;) {
        while (i < n && !may_change_plain_code(d[i])) ++i;
        Py_ssize_t end = i < n ? marker_end(d, i, n) : 0;
        if (!end) return i;
        i = end;
    }
}

// Whether d[0, n) holds anything that may open a line comment: a "#" that opens no bind marker,
// or "--".
template <class C>
bool may_hold_line_comment(const C* d, Py_ssize_t n) {
    if constexpr (sizeof(C) == 1) {
        // memchr is many times faster than a loop over the characters.
        for (const C* p = d; (p = static_cast<const C*>(std::memchr(p, '#', static_cast<size_t>(d + n - p)))); ++p)
            if (!sql::marker_end(d, p - d, n)) return true;
        for (const C* p = d; (p = static_cast<const C*>(std::memchr(p, '-', static_cast<size_t>(d + n - p)))); ++p)
            if (p + 1 < d + n && p[1] == '-') return true;
        return false;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (d[i] == '#' && !sql::marker_end(d, i, n)) return true;
        if (d[i] == '-' && i + 1 < n && d[i + 1] == '-') return true;
    }
    return false;
}

enum class Mode : uint8_t { Code, Quote, Line, Block, Dollar, Marker };

// One database's reading.
template <Dialect D>
class Reader {
public:
    // Consumes c (with the two characters in front of it, 0 at the start; `marker`: a bind marker
    // opens at c); true when a line comment ends at c.
    bool step(Py_UCS4 c, Py_UCS4 before, Py_UCS4 before2, bool marker) {
        switch (mode_) {
            case Mode::Code: return code(c, before, before2, marker);
            case Mode::Quote:
                if (escaped_)
                    escaped_ = false;
                else if (escapes_ && c == '\\')
                    escaped_ = true;
                else if (c == quote_)
                    close_quote();
                return false;
            case Mode::Line: return line(c);
            case Mode::Block: block(c); return false;
            case Mode::Dollar: dollar(c); return false;
            case Mode::Marker:
                if (c == '}') mode_ = Mode::Code;
                return false;
        }
        return false;
    }

    // In code, nothing pending: only may_change_plain_code characters change anything.
    bool idle() const { return mode_ == Mode::Code && pending_ == Pending::None && !reopen_; }
    // In code, and a "--" starting at the next character is a comment from its first "-".
    bool plain() const {
        return mode_ == Mode::Code && pending_ != Pending::Dash && pending_ != Pending::Dashes &&
               pending_ != Pending::Hash;
    }
    bool protects() const { return mode_ == Mode::Quote || mode_ == Mode::Dollar; }
    bool in_block() const { return mode_ == Mode::Block; }
    // In a line comment; a "#" or "--" that would open one if the text ended here counts too.
    bool in_line() const { return mode_ == Mode::Line || pending_ == Pending::Dashes || pending_ == Pending::Hash; }
    void reset() { *this = Reader(); }

private:
    enum class Pending : uint8_t { None, Dash, Dashes, Slash, Hash, Tag };

    bool code(Py_UCS4 c, Py_UCS4 before, Py_UCS4 before2, bool marker) {
        if (reopen_) {
            // A doubled quote: the same string goes on, with the escapes it had.
            reopen_ = false;
            if (c == quote_ && pending_ == Pending::None) {
                mode_ = Mode::Quote;
                return false;
            }
        }
        switch (pending_) {
            case Pending::None: break;
            case Pending::Dash:
                pending_ = Pending::None;
                if (c == '-') {
                    if (D.dash_needs_blank)
                        pending_ = Pending::Dashes;
                    else
                        mode_ = Mode::Line;
                    return false;
                }
                break;
            case Pending::Dashes:
                if (mysql_dash_follower(c)) {
                    pending_ = Pending::None;
                    mode_ = Mode::Line;
                    return line(c);
                }
                if (c == '-') return false;  // the last two are "--" again
                pending_ = Pending::None;
                break;
            case Pending::Slash:
                pending_ = Pending::None;
                if (c == '*') {
                    mode_ = Mode::Block;
                    depth_ = 1;
                    star_ = slash_ = false;
                    return false;
                }
                break;
            case Pending::Hash:
                pending_ = Pending::None;
                mode_ = Mode::Line;
                return line(c);
            case Pending::Tag:
                if (c == '$') {
                    pending_ = Pending::None;
                    mode_ = Mode::Dollar;
                    match_ = -1;
                    return false;
                }
                if (tag_char(c, tag_.empty())) {
                    tag_.push_back(static_cast<char32_t>(c));
                    return false;
                }
                pending_ = Pending::None;
                break;
        }
        if (marker) {
            mode_ = Mode::Marker;
            return false;
        }
        switch (c) {
            case '\'':
                open_quote(
                    c, D.backslash_quotes || (D.e_strings && (before == 'E' || before == 'e') && !name_char(before2)));
                break;
            case '"': open_quote(c, D.backslash_quotes); break;
            case '`':
                if (D.backticks) open_quote(c, false);
                break;
            case '-': pending_ = Pending::Dash; break;
            case '/': pending_ = Pending::Slash; break;
            case '#':
                if (D.hash_comments) pending_ = Pending::Hash;
                break;
            case '$':
                if (D.dollar_quotes && !name_char(before)) {
                    pending_ = Pending::Tag;
                    tag_.clear();
                }
                break;
            default: break;
        }
        return false;
    }

    bool line(Py_UCS4 c) {
        if (c != '\n' && !(D.cr_ends_line && c == '\r')) return false;
        mode_ = Mode::Code;
        return true;
    }

    void open_quote(Py_UCS4 q, bool escapes) {
        mode_ = Mode::Quote;
        quote_ = q;
        escapes_ = escapes;
        escaped_ = false;
    }

    void close_quote() {
        mode_ = Mode::Code;
        reopen_ = true;
    }

    void block(Py_UCS4 c) {
        if (star_ && c == '/') {
            star_ = false;
            if (--depth_ == 0) mode_ = Mode::Code;
            return;
        }
        if (D.nested_blocks && slash_ && c == '*') {
            slash_ = false;
            ++depth_;
            return;
        }
        star_ = c == '*';
        slash_ = c == '/';
    }

    // Inside $tag$…: `match_` counts the characters of the tag seen after a "$" (-1: none).
    void dollar(Py_UCS4 c) {
        if (c == '$') {
            if (match_ == static_cast<Py_ssize_t>(tag_.size())) {
                mode_ = Mode::Code;
                return;
            }
            match_ = 0;
            return;
        }
        if (match_ >= 0 && match_ < static_cast<Py_ssize_t>(tag_.size()) &&
            tag_[static_cast<size_t>(match_)] == static_cast<char32_t>(c))
            ++match_;
        else
            match_ = -1;
    }

    static bool tag_char(Py_UCS4 c, bool first) {
        if (c >= 0x80 || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_') return true;
        return !first && c >= '0' && c <= '9';
    }

    Mode mode_ = Mode::Code;
    Pending pending_ = Pending::None;
    bool escapes_ = false, escaped_ = false, reopen_ = false, star_ = false, slash_ = false;
    Py_UCS4 quote_ = 0;
    uint32_t depth_ = 0;
    Py_ssize_t match_ = -1;
    struct NoTag {
        bool empty() const { return true; }
        size_t size() const { return 0; }
        void clear() {}
        void push_back(char32_t) {}
        char32_t operator[](size_t) const { return 0; }
    };
    [[no_unique_address]] std::conditional_t<D.dollar_quotes, std::u32string, NoTag> tag_;
};

// The readings in step.
class Readings {
public:
    // Consumes c; true when a line comment of some reading ends at c.
    bool step(Py_UCS4 c, Py_UCS4 before, Py_UCS4 before2, bool marker) {
        bool a = my_.step(c, before, before2, marker);
        bool b = pg_.step(c, before, before2, marker);
        return a || b;
    }
    bool idle() const { return my_.idle() && pg_.idle(); }
    bool plain() const { return my_.plain() && pg_.plain(); }
    bool protects() const { return my_.protects() || pg_.protects(); }
    bool in_line() const { return my_.in_line() || pg_.in_line(); }
    bool in_block() const { return my_.in_block() || pg_.in_block(); }
    void reset() {
        my_.reset();
        pg_.reset();
    }

    // Reads d[0, n) on from the current state; `before`/`before2` hold the two characters in
    // front of d and receive the last two of it. Returns whether some line comment ended in it.
    template <class C>
    bool read(const C* d, Py_ssize_t n, Py_UCS4& before, Py_UCS4& before2) {
        bool ended = false;
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (idle()) {
                i = next_opener(d, i, n);
                if (i == n) break;
            }
            Py_UCS4 b1 = i >= 1 ? d[i - 1] : before, b2 = i >= 2 ? d[i - 2] : i == 1 ? before : before2;
            ended = step(d[i], b1, b2, marker_end(d, i, n) != 0) || ended;
        }
        if (n >= 2) {
            before = d[n - 1];
            before2 = d[n - 2];
        } else if (n == 1) {
            before2 = before;
            before = d[0];
        }
        return ended;
    }

private:
    Reader<mysql> my_;
    Reader<postgresql> pg_;
};

// The reading at the end of a text given piece by piece (the pieces of an element's body).
class Tail {
public:
    void read(PyObject* str) {
        const void* data = PyUnicode_DATA(str);
        Py_ssize_t n = PyUnicode_GET_LENGTH(str);
        switch (PyUnicode_KIND(str)) {
            case PyUnicode_1BYTE_KIND: readings_.read(static_cast<const Py_UCS1*>(data), n, before_, before2_); break;
            case PyUnicode_2BYTE_KIND: readings_.read(static_cast<const Py_UCS2*>(data), n, before_, before2_); break;
            default: readings_.read(static_cast<const Py_UCS4*>(data), n, before_, before2_); break;
        }
    }
    // Whether the text so far ends inside a line comment of some reading.
    bool in_line_comment() const { return readings_.in_line(); }
    // Whether text read on from here reads as it would at the start of a text: plain code, and
    // no name character in front (which would join an E'…' or $tag$ opener to its name).
    bool at_start_of_token() const { return readings_.idle() && !name_char(before_); }

private:
    Readings readings_;
    Py_UCS4 before_ = 0, before2_ = 0;
};

// Whether a str ends inside a line comment of some reading (a "#" or "--" comment running to
// its end). Text that holds no opener of one is answered without reading it.
inline bool ends_in_line_comment(PyObject* str) {
    const void* data = PyUnicode_DATA(str);
    Py_ssize_t n = PyUnicode_GET_LENGTH(str);
    bool may = PyUnicode_KIND(str) == PyUnicode_1BYTE_KIND ? may_hold_line_comment(static_cast<const Py_UCS1*>(data), n)
               : PyUnicode_KIND(str) == PyUnicode_2BYTE_KIND
                   ? may_hold_line_comment(static_cast<const Py_UCS2*>(data), n)
                   : may_hold_line_comment(static_cast<const Py_UCS4*>(data), n);
    if (!may) return false;
    Tail tail;
    tail.read(str);
    return tail.in_line_comment();
}

// `text`, with a line break after it when it is a str that ends inside a line comment: whatever
// is appended to it then stays out of the comment. Any other text is returned as it is.
inline rt::Ref end_line_comment(rt::Ref text) {
    if (!PyUnicode_Check(text.get()) || !ends_in_line_comment(text.get())) return text;
    rt::Ref newline = rt::Ref::steal(PyUnicode_FromOrdinal('\n'));
    return rt::concat(text.get(), newline.get());
}

}  // namespace velmo::sql
