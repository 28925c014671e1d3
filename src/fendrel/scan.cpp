// Native equivalents of fendrel's fixed patterns, over the str's own buffer.
//
// Semantics reproduced (regex package, str patterns, no flags): "." is any character but "\n";
// "\s" is Unicode White_Space; "\w" is taken natively only for ASCII characters.
#include <type_traits>
#include <unordered_set>

#include "fendrel.hpp"

namespace velmo::fendrel {

namespace {

template <class F>
decltype(auto) visit_text(PyObject* s, F&& f) {
    const void* data = PyUnicode_DATA(s);
    Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    switch (PyUnicode_KIND(s)) {
        case PyUnicode_1BYTE_KIND: return f(static_cast<const Py_UCS1*>(data), n);
        case PyUnicode_2BYTE_KIND: return f(static_cast<const Py_UCS2*>(data), n);
        default: return f(static_cast<const Py_UCS4*>(data), n);
    }
}

bool is_white_space(Py_UCS4 c) {
    if (c < 0x80) return c == 0x20 || (c >= 0x09 && c <= 0x0D);
    switch (c) {
        case 0x85: case 0xA0: case 0x1680: case 0x2028: case 0x2029: case 0x202F: case 0x205F:
        case 0x3000:
            return true;
        default:
            return c >= 0x2000 && c <= 0x200A;
    }
}

bool is_ascii_word(Py_UCS4 c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}

template <class Ch>
bool starts_with(const Ch* s, Py_ssize_t n, Py_ssize_t at, std::string_view what) {
    if (at + static_cast<Py_ssize_t>(what.size()) > n) return false;
    for (size_t k = 0; k < what.size(); ++k)
        if (s[at + static_cast<Py_ssize_t>(k)] != static_cast<unsigned char>(what[k])) return false;
    return true;
}

}  // namespace

bool has_non_space(PyObject* text) {
    return visit_text(text, [](auto s, Py_ssize_t n) {
        for (Py_ssize_t i = 0; i < n; ++i)
            if (!is_white_space(s[i])) return true;
        return false;
    });
}

void distinct_markers(PyObject* text, std::string_view open, std::vector<Span>& out) {
    out.clear();
    const Py_ssize_t width = PyUnicode_KIND(text);
    const char* bytes = static_cast<const char*>(PyUnicode_DATA(text));
    // Marker texts seen so far, as byte ranges of the same buffer (equal bytes, equal text).
    std::unordered_set<std::string_view> seen;
    const Py_ssize_t open_len = static_cast<Py_ssize_t>(open.size());
    const Py_UCS4 first = static_cast<unsigned char>(open[0]);
    visit_text(text, [&](auto s, Py_ssize_t n) {
        Py_ssize_t i = 0;
        while (i + open_len < n) {
            if (s[i] != first || !starts_with(s, n, i, open)) {
                ++i;
                continue;
            }
            // open, then at least one character that is not "\n", then the first "}".
            Py_ssize_t body = i + open_len;
            Py_ssize_t j = body;
            if (s[j] != '\n') {
                for (++j; j < n && s[j] != '}' && s[j] != '\n'; ++j) {
                }
            }
            if (j > body && j < n && s[j] == '}') {
                Span span{i, j + 1};
                std::string_view key(bytes + span.start * width,
                                     static_cast<size_t>((span.end - span.start) * width));
                if (seen.insert(key).second) out.push_back(span);
                i = j + 1;
            } else {
                // No marker can start before j: the open text does not overlap itself and
                // every later start would stop at the same "\n" or end.
                i = j > i ? j : i + 1;
            }
        }
    });
}

Ref marker_body(PyObject* text, Span span, std::string_view open) {
    return visit_text(text, [&](auto s, Py_ssize_t) -> Ref {
        using Ch = std::remove_cv_t<std::remove_pointer_t<decltype(s)>>;
        std::vector<Ch> out;
        out.reserve(static_cast<size_t>(span.end - span.start));
        const Py_ssize_t open_len = static_cast<Py_ssize_t>(open.size());
        // Removing the open texts first and the braces after is the same single pass: an open
        // text holds no "}", so the braces never change which open texts are found.
        for (Py_ssize_t i = span.start; i < span.end;) {
            if (starts_with(s, span.end, i, open)) {
                i += open_len;
            } else {
                if (s[i] != '}') out.push_back(s[i]);
                ++i;
            }
        }
        return Ref::steal(PyUnicode_FromKindAndData(static_cast<int>(sizeof(Ch)), out.data(),
                                                    static_cast<Py_ssize_t>(out.size())));
    });
}

Py_ssize_t function_paren(PyObject* body, bool native_match) {
    return visit_text(body, [&](auto s, Py_ssize_t n) -> Py_ssize_t {
        Py_ssize_t line_end = 0;
        while (line_end < n && s[line_end] != '\n') ++line_end;
        Py_ssize_t first_paren = -1;
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (s[i] == '(') {
                first_paren = i;
                break;
            }
        }
        if (native_match) {
            // ".+?\(.+?\)" at the start: a "(" after at least one character, then a ")" after
            // at least one more, all on the first line; the earliest "(" is the best candidate.
            Py_ssize_t open = -1;
            for (Py_ssize_t i = 1; i < line_end && open < 0; ++i)
                if (s[i] == '(') open = i;
            if (open < 0) return -1;
            bool closed = false;
            for (Py_ssize_t i = open + 2; i < line_end && !closed; ++i) closed = s[i] == ')';
            if (!closed) return -1;
        }
        // Without a "(" (only with a replaced pattern) the name is the whole body.
        if (first_paren < 0) first_paren = n;
        // «#{id, sql_type=VARCHAR(20)}» names a parameter: a "," before the "(" ends the name.
        for (Py_ssize_t i = 0; i < first_paren; ++i)
            if (s[i] == ',') return -1;
        return first_paren;
    });
}

OptionFound find_option(PyObject* text, Span span, std::string_view name, Span& value) {
    return visit_text(text, [&](auto s, Py_ssize_t) -> OptionFound {
        const Py_ssize_t end = span.end;
        const Py_ssize_t name_len = static_cast<Py_ssize_t>(name.size());
        for (Py_ssize_t k = span.start; k + name_len <= end; ++k) {
            if (!starts_with(s, end, k, name)) continue;
            Py_ssize_t j = k + name_len;
            while (j < end && is_white_space(s[j])) ++j;
            if (j >= end || s[j] != '=') continue;
            ++j;
            while (j < end && is_white_space(s[j])) ++j;
            Py_ssize_t start = j;
            while (j < end && s[j] < 0x80 && is_ascii_word(s[j])) ++j;
            if (j < end && s[j] >= 0x80) return OptionFound::Unsure;
            if (j == start) return OptionFound::Empty;
            value = Span{start, j};
            return OptionFound::Value;
        }
        return OptionFound::Absent;
    });
}

}  // namespace velmo::fendrel
