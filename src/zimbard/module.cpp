// velmo.utils.zimbard: CDATA replacement, XML escaping and SQL literal rendering.
#include <algorithm>
#include <string_view>

#include "../runtime/rt.hpp"

#include "docs.inc"  // module_docs, from the stub

using namespace velmo::rt;

namespace {

// clang-format off
#define ZIMBARD_NAMES(X)                                                                                              \
    X(re, "re") X(compile, "compile") X(search, "search") X(group, "group") X(replace, "replace")                     \
    X(convert_cdata, "convert_cdata") X(sql_string_format, "sql_string_format") X(null, "null")                       \
    X(cdata_open, "<![CDATA[") X(cdata_close, "]]>")
// clang-format on
VELMO_NAMES(Names, ZIMBARD_NAMES)

struct State : Names {
    PyObject* cdata_pattern;      // the CDATA pattern's source
    PyObject* regex_compile;      // regex.compile as imported: the plain scan stands for its pattern
    PyObject* own_convert_cdata;  // this module's convert_cdata
    PyObject* number_abc;         // numbers.Number, kept private (plovet star-imports this module)
    PyObject* kw_reverse;         // ("reverse",)
    PyObject* two;
    PyObject* escapes[4][2];
};
State state;

constexpr Py_ssize_t cdata_open_length = 9;   // "<![CDATA["
constexpr Py_ssize_t cdata_close_length = 3;  // "]]>"

constexpr const char* escape_pairs[4][2] = {{"&", "&amp;"}, {"<", "&lt;"}, {">", "&gt;"}, {"\"", "&quot;"}};

// string.replace(old, new) for every pair, in order, in one direction.
Ref convert(PyObject* string, bool escape) {
    Ref s = Ref::borrow(string);
    for (auto& pair : state.escapes) {
        PyObject* from = escape ? pair[0] : pair[1];
        PyObject* to = escape ? pair[1] : pair[0];
        if (PyUnicode_CheckExact(s.get()))
            s = Ref::steal(PyUnicode_Replace(s.get(), from, to, -1));
        else
            s = call_method(s.get(), state.s_replace, {from, to});
    }
    return s;
}

Ref convert_cdata_fn(const Args& a) { return convert(a[0], truthy(a[1])); }

// raw.replace(section, converted), through the method itself unless all three are plain text.
Ref replace_all(PyObject* raw, PyObject* section, PyObject* converted) {
    if (PyUnicode_CheckExact(raw) && PyUnicode_Check(section) && PyUnicode_Check(converted))
        return Ref::steal(PyUnicode_Replace(raw, section, converted, -1));
    return call_method(raw, state.s_replace, {section, converted});
}

// convert_cdata(content, reverse=True) through the module global, natively while it is ours.
Ref escape_content(const Args& a, PyObject* content) {
    Ref fn = load_global(a.globals(), state.s_convert_cdata);
    if (fn.get() == state.own_convert_cdata) return convert(content, true);
    return call_kw(fn.get(), {content, Py_True}, state.kw_reverse);
}

// The first <![CDATA[...]]> section, replaced (with every identical copy) by its escaped content.
// While `re.compile` is the regex package's own, the pattern's first match is found by a plain
// scan: the leftmost "<![CDATA[" and the first "]]>" after it. Otherwise the pattern is compiled
// and searched through whatever the module's `re` now holds.
Ref replace_cdata_fn(const Args& a) {
    PyObject* raw = a[0];
    Ref re = load_global(a.globals(), state.s_re);
    Ref compile = getattr(re.get(), state.s_compile);
    if (!PyUnicode_Check(raw) || compile.get() != state.regex_compile) {
        Ref pattern = call(compile.get(), {state.cdata_pattern});
        Ref match = call_method(pattern.get(), state.s_search, {raw});
        if (!truthy(match.get())) return Ref::borrow(raw);
        Ref content = call_method(match.get(), state.s_group, {state.two});
        Ref converted = escape_content(a, content.get());
        Ref section = call_method(match.get(), state.s_group);
        return replace_all(raw, section.get(), converted.get());
    }
    Py_ssize_t n = PyUnicode_GET_LENGTH(raw);
    Py_ssize_t end = -1;
    Py_ssize_t start = PyUnicode_Find(raw, state.s_cdata_open, 0, n, 1);
    if (start == -2) throw_error();
    if (start >= 0) {
        end = PyUnicode_Find(raw, state.s_cdata_close, start + cdata_open_length, n, 1);
        if (end == -2) throw_error();
    }
    if (start < 0 || end < 0) return Ref::borrow(raw);
    Ref section = Ref::steal(PyUnicode_Substring(raw, start, end + cdata_close_length));
    Ref content = Ref::steal(PyUnicode_Substring(raw, start + cdata_open_length, end));
    Ref converted = escape_content(a, content.get());
    return replace_all(raw, section.get(), converted.get());
}

// Wraps the value in single quotes unless it already begins and ends with one, and doubles
// every quote inside that is not already doubled, so that the result is always one complete
// literal ('' at the least) whatever the value holds.
Ref sql_string_format_fn(const Args& a) {
    PyObject* v = a[0];
    Py_ssize_t n = PyUnicode_GET_LENGTH(v);
    int kind = PyUnicode_KIND(v);
    const void* data = PyUnicode_DATA(v);
    auto quote_at = [&](Py_ssize_t i) { return PyUnicode_READ(kind, data, i) == '\''; };
    // A lone "'" begins the literal; it cannot also end it.
    bool starts = n > 0 && quote_at(0);
    bool ends = n > 1 && quote_at(n - 1);
    Py_ssize_t begin = starts, end = n - ends;
    Py_ssize_t lone = 0;
    for (Py_ssize_t i = begin; i < end; ++i) {
        if (!quote_at(i)) continue;
        if (i + 1 < end && quote_at(i + 1))
            ++i;  // an escaped quote already
        else
            ++lone;
    }
    if (starts && ends && lone == 0) return Ref::borrow(v);
    Py_UCS4 maxchar = std::max<Py_UCS4>(PyUnicode_MAX_CHAR_VALUE(v), 127);
    Ref out = Ref::steal(PyUnicode_New(end - begin + lone + 2, maxchar));
    int out_kind = PyUnicode_KIND(out.get());
    void* out_data = PyUnicode_DATA(out.get());
    Py_ssize_t at = 0;
    PyUnicode_WRITE(out_kind, out_data, at++, '\'');
    if (lone == 0) {
        check(static_cast<int>(PyUnicode_CopyCharacters(out.get(), at, v, begin, end - begin)));
        at += end - begin;
    } else {
        for (Py_ssize_t i = begin; i < end; ++i) {
            Py_UCS4 c = PyUnicode_READ(kind, data, i);
            PyUnicode_WRITE(out_kind, out_data, at++, c);
            if (c != '\'') continue;
            if (i + 1 < end && quote_at(i + 1)) ++i;  // the pair's second quote
            PyUnicode_WRITE(out_kind, out_data, at++, '\'');
        }
    }
    PyUnicode_WRITE(out_kind, out_data, at, '\'');
    return out;
}

// A parameter value as SQL literal text: "null" for empty values, never for a zero number.
Ref param_str_fn(const Args& a) {
    PyObject* v = a[0];
    if (!truthy(v) && !check(PyObject_IsInstance(v, state.number_abc))) return Ref::borrow(state.s_null);
    if (Py_IS_TYPE(v, &PyUnicode_Type)) {
        Ref fmt = load_global(a.globals(), state.s_sql_string_format);
        return call(fmt.get(), {v});
    }
    return Ref::steal(PyObject_Str(v));
}

const Signature replace_cdata_sig{"replace_cdata", {{"raw_text"}}, replace_cdata_fn};
const Signature convert_cdata_sig{"convert_cdata", {{"string"}, {"reverse", Default::False}}, convert_cdata_fn};
const Signature sql_string_format_sig{
    "sql_string_format", {{"sql_str_value", Default::Required, Exact::Str, "str"}}, sql_string_format_fn};
const Signature param_str_sig{"param_str", {{"param_value"}}, param_str_fn};

void exec_zimbard(Module& m) {
    state = {};  // nothing left over from an initialisation that failed
    state.intern();
    PyObject* re = m.import("regex", "re").get();
    state.cdata_pattern = str("(<!\\[CDATA\\[)([\\s\\S]*?)(\\]\\]>)").release();
    state.kw_reverse = kept_names({"reverse"});
    state.two = integer(2).release();
    state.regex_compile = getattr(re, state.s_compile).release();
    Ref numbers = Ref::steal(PyImport_ImportModule("numbers"));
    state.number_abc = getattr(numbers.get(), "Number").release();
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 2; ++j) state.escapes[i][j] = kept_name(escape_pairs[i][j]);
    m.def(replace_cdata_sig);
    state.own_convert_cdata = Py_NewRef(m.def(convert_cdata_sig));
    m.def(sql_string_format_sig);
    m.def(param_str_sig);
    apply_docs(m, module_docs);
}

}  // namespace

VELMO_MODULE(zimbard, "velmo.utils.zimbard", exec_zimbard)
