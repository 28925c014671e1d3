// velmo.utils.fendrel: shared state and the native text algorithms.
//
// The module's public objects behave exactly as the regex-based Python algorithm; the native scan
// (scan.cpp) reproduces the module's fixed patterns over the str's own buffer and is used only
// while the objects it stands for are still the ones the module created (see collect.cpp).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "../runtime/rt.hpp"

namespace velmo::fendrel {

using rt::Ref;

inline constexpr int marker_kinds = 3;
inline constexpr int option_count = 3;

struct State {
    // Objects created at import; the native road is taken only while these are in place.
    PyObject* re;
    PyObject* param_function_regex;
    PyObject* sql_param_regex_cls;
    PyObject* sql_param_cls;
    PyObject* marker_param_cls;
    PyObject* sql_regex_list;
    PyObject* regex_items[marker_kinds];
    PyObject* marker_patterns[marker_kinds];
    PyObject* prefixes[marker_kinds];
    PyObject* resolve_param_fn;
    PyObject* sql_param_init_fn;
    PyObject* marker_param_init_fn;
    PyObject* get_regex_value_fn;
    PyObject* regex_compile;  // regex.compile and regex.search as imported
    PyObject* regex_search;
    unsigned int verified_tags[3];  // version tags of SqlParam, MarkerParam, SqlParamRegex when last checked
    PyObject* nonspace_pattern;  // "\S", for the error a non-str text gets from the search
    PyObject* sorted;            // builtins.sorted
    PyObject* empty_tuple;
    PyObject* option_patterns[option_count];
    PyObject* option_groups[option_count];  // also the attribute names
    // Interned names and constants.
    PyObject *s_re, *s_sql_regex_list, *s_sql_param, *s_marker_param, *s_get_regex_value,
        *s_param_function_regex, *s_regex, *s_prefix, *s_resolve_param, *s_init, *s_is_function,
        *s_param_name, *s_function_expression, *s_function_name, *s_sql_param_attr, *s_full_name,
        *s_name, *s_text, *s_tail, *s_findall, *s_match, *s_search, *s_compile, *s_replace,
        *s_group, *s_strip, *s_index, *s_key_tuple, *s_empty, *s_open_brace, *s_close_brace, *s_nonspace;
    PyObject* kw_marker_param;  // ("full_name", "sql_param")
    PyObject* kw_function;  // ("function_expression", "is_function", "function_name")
    PyObject* kw_param_name;  // ("param_name",)
};
extern State state;

// The opening text of each marker kind, in collection order.
inline constexpr std::string_view marker_opens[marker_kinds] = {"#{", "${", "$f{"};
// The option names, which are also their group names.
inline constexpr std::string_view option_names[option_count] = {"sql_type", "python_type", "type_handler"};

struct Span {
    Py_ssize_t start;
    Py_ssize_t end;
};

// scan.cpp

// Whether the text holds a character that "\S" matches (one outside Unicode White_Space).
bool has_non_space(PyObject* text);
// The distinct markers opened by `open` ("#{", "${" or "$f{"; the "{.+?}" tail is implied) in
// the order of their first occurrence, as the pattern's findall and a first-occurrence sort give.
void distinct_markers(PyObject* text, std::string_view open, std::vector<Span>& out);
using Chars = std::vector<Py_UCS4>;

// text[span] with every occurrence of `open` (ASCII) and every "}" removed, as
// .replace(open, "").replace("}", "") gives, into `out`.
void marker_body(PyObject* text, Span span, std::string_view open, Chars& out);
// The str of chars[0, n).
Ref chars_str(const Chars& chars, size_t n);
// The index of the first "(" when the body is a function expression, -1 otherwise: the function
// pattern matches at its start (tested here when native_match, else already by the caller) and
// no "," comes before that "(".
Py_ssize_t function_paren(PyObject* body, bool native_match);
Py_ssize_t function_paren(const Chars& body);
// Whether c occurs in text[span].
bool has_char(PyObject* text, Span span, Py_UCS4 c);

enum class OptionFound { Absent, Empty, Value, Unsure };
// "(\s*NAME\s*=\s*)(?P<NAME>\w+)?" searched in text[span]: Absent (no match), Empty (the value
// group took no part), Value (its span in `value`), or Unsure when a non-ASCII character borders
// the value and only the regex package can tell what \w takes.
OptionFound find_option(PyObject* text, Span span, std::string_view name, Span& value);

// records.cpp

// A SqlParam / MarkerParam made as the constructor makes it, attributes in the same order.
Ref new_sql_param(PyObject* is_function, PyObject* param_name, PyObject* function_expression,
                  PyObject* function_name);
Ref new_marker_param(PyObject* sql_param, PyObject* full_name, PyObject* const options[option_count],
                      PyObject* param_name, bool with_name);
// Whether instances of cls are made and given attributes by object's own slots (no __new__,
// __getattribute__, __getattr__ or __setattr__ of the class's own).
bool plain_instances(PyObject* cls);
// Whether SqlParam(...) in the module's globals still builds records as new_sql_param does.
bool sql_param_native(PyObject* globals);
// The option value of one lookup: __get_regex_value(option pattern i, param, group i).
Ref option_value(PyObject* text, Span span, int option, PyObject* full_name);

Ref sql_param_regex_init(const rt::Args& a);
Ref sql_param_regex_resolve_param(const rt::Args& a);
Ref sql_param_init(const rt::Args& a);
Ref sql_param_str(const rt::Args& a);
Ref marker_param_init(const rt::Args& a);
Ref marker_param_str(const rt::Args& a);

// collect.cpp

Ref get_params(const rt::Args& a);
Ref get_regex_value(const rt::Args& a);
Ref get_sql_param(const rt::Args& a);

// A module global by name, or the NameError of an unbound global.
Ref global(PyObject* globals, PyObject* name);
// Whether the class attribute `name` of cls is the function fn (no override).
bool class_attr_is(PyObject* cls, PyObject* name, PyObject* fn);
// A module global, borrowed, or NULL when unbound (for identity checks).
PyObject* peek_global(PyObject* globals, PyObject* name);

}  // namespace velmo::fendrel
