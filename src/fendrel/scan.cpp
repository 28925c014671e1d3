// Native equivalents of fendrel's fixed patterns, over the str's own buffer.
//
// Semantics reproduced (regex package, str patterns, no flags): "." is any character but "\n";
// "\s" is Unicode White_Space; "\w" is taken natively only for ASCII characters.
#include <algorithm>
#include <cstring>
#include <type_traits>
#include <unordered_set>

#include "fendrel.hpp"

namespace velmo::fendrel {

using rt::visit_text;

namespace {

bool is_white_space(Py_UCS4 c) {
    if (c < 0x80) return c == 0x20 || (c >= 0x09 && c <= 0x0D);
    switch (c) {
        case 0x85:
        case 0xA0:
        case 0x1680:
        case 0x2028:
        case 0x2029:
        case 0x202F:
        case 0x205F:
        case 0x3000: return true;
        default: return c >= 0x2000 && c <= 0x200A;
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

namespace {

// The index of the first c in s[from, n), or n.
template <class Ch>
Py_ssize_t find_char(const Ch* s, Py_ssize_t from, Py_ssize_t n, Ch c) {
    if (from >= n) return n;
    if constexpr (sizeof(Ch) == 1) {
        const void* hit = std::memchr(s + from, c, static_cast<size_t>(n - from));
        return hit ? static_cast<const Ch*>(hit) - s : n;
    } else {
        return std::find(s + from, s + n, c) - s;
    }
}

// Distinct byte ranges of one buffer; a linear search while few, a hash set past that.
class SeenTexts {
public:
    bool insert(std::string_view key) {
        if (set_.empty()) {
            for (std::string_view k : few_)
                if (k == key) return false;
            if (few_.size() < linear_limit) {
                few_.push_back(key);
                return true;
            }
            set_.insert(few_.begin(), few_.end());
        }
        return set_.insert(key).second;
    }

private:
    static constexpr size_t linear_limit = 16;
    std::vector<std::string_view> few_;
    std::unordered_set<std::string_view> set_;
};

}  // namespace

void distinct_markers(PyObject* text, std::string_view open, std::vector<Span>& out) {
    out.clear();
    const Py_ssize_t width = PyUnicode_KIND(text);
    const char* bytes = static_cast<const char*>(PyUnicode_DATA(text));
    // Marker texts seen so far, as byte ranges of the same buffer (equal bytes, equal text).
    SeenTexts seen;
    const Py_ssize_t open_len = static_cast<Py_ssize_t>(open.size());
    visit_text(text, [&](auto s, Py_ssize_t n) {
        using Ch = std::remove_cv_t<std::remove_pointer_t<decltype(s)>>;
        const Ch first = static_cast<Ch>(open[0]);
        Py_ssize_t i = 0;
        while (i + open_len < n) {
            i = find_char(s, i, n, first);
            if (i + open_len >= n) break;
            if (!starts_with(s, n, i, open)) {
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
                std::string_view key(bytes + span.start * width, static_cast<size_t>((span.end - span.start) * width));
                if (seen.insert(key)) out.push_back(span);
                i = j + 1;
            } else {
                // No marker can start before j: the open text does not overlap itself and
                // every later start would stop at the same "\n" or end.
                i = j > i ? j : i + 1;
            }
        }
    });
}

bool has_char(PyObject* text, Span span, Py_UCS4 c) {
    Py_ssize_t n = PyUnicode_FindChar(text, c, span.start, span.end, 1);
    if (n == -2) rt::throw_error();
    return n >= 0;
}

void marker_body(PyObject* text, Span span, std::string_view open, Chars& out) {
    out.clear();
    visit_text(text, [&](auto s, Py_ssize_t) {
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
    });
}

Ref chars_str(const Chars& chars, size_t n) {
    return Ref::steal(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, chars.data(), static_cast<Py_ssize_t>(n)));
}

namespace {

template <class Ch>
Py_ssize_t function_paren_in(const Ch* s, Py_ssize_t n, bool native_match) {
    Py_ssize_t first_paren = find_char(s, 0, n, static_cast<Ch>('('));
    if (native_match) {
        // ".+?\(.+?\)" at the start: a "(" after at least one character, then a ")" after at
        // least one more, all on the first line; the earliest such "(" is the best candidate.
        Py_ssize_t line_end = find_char(s, 0, n, static_cast<Ch>('\n'));
        Py_ssize_t open = first_paren == 0 ? find_char(s, 1, line_end, static_cast<Ch>('(')) : first_paren;
        if (open >= line_end) return -1;
        if (find_char(s, open + 2, line_end, static_cast<Ch>(')')) >= line_end) return -1;
    }
    // Without a "(" (only under a replaced pattern) the name is the whole body.
    // «#{id, sql_type=VARCHAR(20)}» names a parameter: a "," before the "(" ends the name.
    if (find_char(s, 0, first_paren, static_cast<Ch>(',')) < first_paren) return -1;
    return first_paren;
}

}  // namespace

Py_ssize_t function_paren(PyObject* body, bool native_match) {
    return visit_text(body, [&](auto s, Py_ssize_t n) { return function_paren_in(s, n, native_match); });
}

Py_ssize_t function_paren(const Chars& body) {
    return function_paren_in(body.data(), static_cast<Py_ssize_t>(body.size()), true);
}

OptionFound find_option(PyObject* text, Span span, std::string_view name, Span& value) {
    return visit_text(text, [&](auto s, Py_ssize_t) -> OptionFound {
        const Py_ssize_t end = span.end;
        const Py_ssize_t name_len = static_cast<Py_ssize_t>(name.size());
        using Ch = std::remove_cv_t<std::remove_pointer_t<decltype(s)>>;
        for (Py_ssize_t k = span.start; k + name_len <= end; ++k) {
            k = find_char(s, k, end, static_cast<Ch>(name[0]));
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
