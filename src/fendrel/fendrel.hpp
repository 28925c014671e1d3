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

// clang-format off
#define FENDREL_NAMES(X)                                                                                              \
    X(re, "re") X(sql_regex_list, "sql_regex_list") X(SqlParam, "SqlParam") X(MarkerParam, "MarkerParam")             \
    X(get_regex_value, "__get_regex_value") X(param_function_regex, "param_function_regex")                           \
    X(regex, "regex") X(prefix, "prefix") X(resolve_param, "resolve_param") X(init, "__init__")                       \
    X(is_function, "is_function") X(param_name, "param_name") X(function_expression, "function_expression")           \
    X(function_name, "function_name") X(sql_param, "sql_param") X(full_name, "full_name") X(name, "name")             \
    X(text, "text") X(tail, "tail") X(findall, "findall") X(match, "match") X(search, "search")                       \
    X(compile, "compile") X(replace, "replace") X(group, "group") X(strip, "strip") X(index, "index")                 \
    X(sorted, "sorted") X(empty, "") X(open_brace, "{") X(close_brace, "}") X(nonspace, "\\S")
// clang-format on
VELMO_NAMES(Names, FENDREL_NAMES)

struct State : Names {
    // Objects created at import; the native road is taken only while these are in place.
    PyObject* re_module;
    PyObject* param_function_regex;
    PyObject* sql_param_regex_cls;
    PyObject* sql_param_cls;
    PyObject* marker_param_cls;
    PyObject* sql_regex_list;
    PyObject* regex_items[marker_kinds];
    PyObject* marker_patterns[marker_kinds];
    PyObject* prefixes[marker_kinds];
    PyObject* own_resolve_param;
    PyObject* own_sql_param_init;
    PyObject* own_marker_param_init;
    PyObject* own_get_regex_value;
    PyObject* regex_compile;  // regex.compile and regex.search as imported
    PyObject* regex_search;
    // SqlParam, MarkerParam and SqlParamRegex as last found unchanged.
    rt::TypeWatch unchanged_classes[3];
    PyObject* nonspace_pattern;  // "\S", for the error a non-str text gets from the search
    PyObject* sorted;            // builtins.sorted
    PyObject* empty_tuple;
    PyObject* option_patterns[option_count];
    PyObject* option_groups[option_count];  // also the attribute names
    PyObject* kw_key;                       // ("key",)
    PyObject* kw_marker_param;              // ("full_name", "sql_param")
    PyObject* kw_function;                  // ("function_expression", "is_function", "function_name")
    PyObject* kw_param_name;                // ("param_name",)
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
Ref new_sql_param(PyObject* is_function, PyObject* param_name, PyObject* function_expression, PyObject* function_name);
Ref new_marker_param(PyObject* sql_param, PyObject* full_name, PyObject* const options[option_count],
                     PyObject* param_name, bool with_name);
// Whether instances of cls are made and given attributes by object's own slots (no __new__,
// __getattribute__, __getattr__ or __setattr__ of the class's own).
bool plain_instances(PyObject* cls);
// Whether SqlParam(...) in the module's globals still builds records as new_sql_param does.
bool sql_param_native(PyObject* globals);
// The option value of one lookup: __get_regex_value(option pattern i, param, group i).
Ref option_value(PyObject* text, Span span, int option, PyObject* full_name);

Ref sql_param_regex_init_fn(const rt::Args& a);
Ref sql_param_regex_resolve_param_fn(const rt::Args& a);
Ref sql_param_init_fn(const rt::Args& a);
Ref sql_param_str_fn(const rt::Args& a);
Ref marker_param_init_fn(const rt::Args& a);
Ref marker_param_str_fn(const rt::Args& a);

// collect.cpp

Ref get_params_fn(const rt::Args& a);
Ref get_regex_value_fn(const rt::Args& a);
Ref get_sql_param_fn(const rt::Args& a);

// Whether cls.<name> is fn (no override).
bool class_attr_is(PyObject* cls, PyObject* name, PyObject* fn);

}  // namespace velmo::fendrel
