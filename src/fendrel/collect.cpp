// Collecting the markers of an element or a text into MarkerParam records.
//
// The native road scans the str buffer directly. It stands for the module's own objects
// (sql_regex_list and its three SqlParamRegex, the record classes, __get_regex_value, re), so
// it is taken only while all of them are still in place; otherwise the same algorithm runs
// through whatever the module's globals now hold, as Python code would.
#include <algorithm>

#include "fendrel.hpp"

namespace velmo::fendrel {

using namespace rt;

namespace {

// Whether cls.<name> is still fn, remembered by the class's version tag while it holds.
bool class_unchanged(PyObject* cls, PyObject* name, PyObject* fn, TypeWatch& watch) {
    return watch.holds(reinterpret_cast<PyTypeObject*>(cls),
                       [&](PyTypeObject*) { return class_attr_is(cls, name, fn); });
}

// An item of sql_regex_list still as the module made it: same class, pattern and prefix, and
// no resolve_param of its own.
bool regex_item_unchanged(int i) {
    PyObject* item = PyList_GET_ITEM(state.sql_regex_list, i);
    if (item != state.regex_items[i] || Py_TYPE(item) != reinterpret_cast<PyTypeObject*>(state.sql_param_regex_cls))
        return false;
    Ref dict = Ref::steal(PyObject_GenericGetDict(item, nullptr));
    return dict_get(dict.get(), state.s_regex).get() == state.marker_patterns[i] &&
           dict_get(dict.get(), state.s_prefix).get() == state.prefixes[i] &&
           !dict_get(dict.get(), state.s_resolve_param);
}

// Whether the module global `re` is the regex package with its own function `name` (compile or
// search), which the native scan stands for.
bool regex_function_unchanged(PyObject* globals, PyObject* name, PyObject* fn) {
    if (!global_is(globals, state.s_re, state.re_module)) return false;
    return getattr(state.re_module, name).get() == fn;
}

bool pristine(PyObject* globals) {
    if (!regex_function_unchanged(globals, state.s_search, state.regex_search) ||
        !global_is(globals, state.s_sql_regex_list, state.sql_regex_list) ||
        !global_is(globals, state.s_SqlParam, state.sql_param_cls) ||
        !global_is(globals, state.s_MarkerParam, state.marker_param_cls) ||
        !global_is(globals, state.s_get_regex_value, state.own_get_regex_value) ||
        !global_is(globals, state.s_param_function_regex, state.param_function_regex))
        return false;
    if (!plain_instances(state.sql_param_cls) || !plain_instances(state.marker_param_cls) ||
        !plain_instances(state.sql_param_regex_cls))
        return false;
    if (!class_unchanged(state.sql_param_cls, state.s_init, state.own_sql_param_init, state.unchanged_classes[0]) ||
        !class_unchanged(state.marker_param_cls, state.s_init, state.own_marker_param_init,
                         state.unchanged_classes[1]) ||
        !class_unchanged(state.sql_param_regex_cls, state.s_resolve_param, state.own_resolve_param,
                         state.unchanged_classes[2]))
        return false;
    if (PyList_GET_SIZE(state.sql_regex_list) != marker_kinds) return false;
    for (int i = 0; i < marker_kinds; ++i)
        if (!regex_item_unchanged(i)) return false;
    return true;
}

Ref collect_native(PyObject* text) {
    Ref result = Ref::steal(PyList_New(0));
    std::vector<Span> spans;
    Chars body;
    PyObject* no_options[option_count] = {Py_None, Py_None, Py_None};
    for (int kind = 0; kind < marker_kinds; ++kind) {
        std::string_view open = marker_opens[kind];
        distinct_markers(text, open, spans);
        for (const Span& span : spans) {
            Ref full_name = Ref::steal(PyUnicode_Substring(text, span.start, span.end));
            marker_body(text, span, open, body);
            Py_ssize_t paren = function_paren(body);
            Ref record;
            if (paren >= 0) {
                Ref expression = chars_str(body, body.size());
                Ref name = chars_str(body, static_cast<size_t>(paren));
                Ref sql_param = new_sql_param(Py_True, Py_None, expression.get(), name.get());
                record = new_marker_param(sql_param.get(), full_name.get(), no_options, Py_None, false);
            } else {
                Ref name =
                    chars_str(body, static_cast<size_t>(std::find(body.begin(), body.end(), ',') - body.begin()));
                Ref sql_param = new_sql_param(Py_False, name.get(), Py_None, Py_None);
                Ref options[option_count];
                PyObject* values[option_count] = {Py_None, Py_None, Py_None};
                // Every option is written with "=": without one there is nothing to look up.
                if (has_char(text, span, '=')) {
                    for (int k = 0; k < option_count; ++k) {
                        options[k] = option_value(text, span, k, full_name.get());
                        values[k] = options[k].get();
                    }
                }
                record = new_marker_param(sql_param.get(), full_name.get(), values, name.get(), true);
            }
            check(PyList_Append(result.get(), record.get()));
        }
    }
    return result;
}

// The same algorithm through the objects the globals hold now.
Ref collect_generic(PyObject* globals, PyObject* text) {
    Ref result = Ref::steal(PyList_New(0));
    Ref regex_list = load_global(globals, state.s_sql_regex_list);
    for_each(regex_list.get(), [&](PyObject* item) {
        Ref regex = getattr(item, state.s_regex);
        Ref match = call_method(regex.get(), state.s_findall, {text});
        // sorted(set(match), key=match.index): distinct texts in first-occurrence order.
        Ref distinct_set = Ref::steal(PySet_New(match.get()));
        Ref index = getattr(match.get(), state.s_index);
        Ref distinct = call_kw(state.sorted, {distinct_set.get(), index.get()}, state.kw_key);
        for_each(distinct.get(), [&](PyObject* param) {
            Ref sql_param = call_method(item, state.s_resolve_param, {param});
            Ref cls = load_global(globals, state.s_MarkerParam);
            Ref record = call_kw(cls.get(), {param, sql_param.get()}, state.kw_marker_param);
            Ref is_function = getattr(sql_param.get(), state.s_is_function);
            if (!truthy(is_function.get())) {
                Ref name = getattr(sql_param.get(), state.s_param_name);
                setattr(record.get(), state.s_name, name.get());
                for (int k = 0; k < option_count; ++k) {
                    Ref lookup = load_global(globals, state.s_get_regex_value);
                    Ref value = call(lookup.get(), {state.option_patterns[k], param, state.option_groups[k]});
                    setattr(record.get(), state.option_groups[k], value.get());
                }
            }
            check(PyList_Append(result.get(), record.get()));
        });
    });
    return result;
}

Ref collect(PyObject* globals, PyObject* text) {
    if (PyUnicode_Check(text) && pristine(globals)) return collect_native(text);
    return collect_generic(globals, text);
}

// The text or tail kept only when "\S" finds a match in it.
Ref keep_if_not_blank(PyObject* pattern, bool native, Ref value) {
    bool keep;
    if (native && PyUnicode_Check(value.get()))
        keep = has_non_space(value.get());
    else
        keep = truthy(call_method(pattern, state.s_search, {value.get()}).get());
    return keep ? value : Ref::borrow(state.s_empty);
}

// child.text or child.tail when truthy, else "".
Ref text_or_empty(PyObject* child, PyObject* name) {
    Ref value = getattr(child, name);
    return truthy(value.get()) ? value : Ref::borrow(state.s_empty);
}

bool same_text(PyObject* a, PyObject* b) { return a == b || PyUnicode_Compare(a, b) == 0; }

}  // namespace

Ref get_params_fn(const Args& a) {
    PyObject* globals = a.globals();
    PyObject* child = a[0];
    bool native = regex_function_unchanged(globals, state.s_compile, state.regex_compile);
    // The "\S" pattern: the module's own while re.compile is the regex package's, compiled anew
    // through the module's `re` otherwise.
    Ref pattern = native ? Ref::borrow(state.nonspace_pattern)
                         : call_method(load_global(globals, state.s_re).get(), state.s_compile, {state.s_nonspace});
    Ref text = text_or_empty(child, state.s_text);
    Ref tail = text_or_empty(child, state.s_tail);
    text = keep_if_not_blank(pattern.get(), native, std::move(text));
    tail = keep_if_not_blank(pattern.get(), native, std::move(tail));
    Ref scan = concat(text.get(), tail.get());
    return collect(globals, scan.get());
}

Ref get_sql_param_fn(const Args& a) { return collect(a.globals(), a[0]); }

Ref get_regex_value_fn(const Args& a) {
    PyObject* regex = a[0];
    PyObject* param = a[1];
    PyObject* group = a[2];
    Ref re = load_global(a.globals(), state.s_re);
    if (regex_function_unchanged(a.globals(), state.s_search, state.regex_search)) {
        for (int k = 0; k < option_count; ++k) {
            if (same_text(regex, state.option_patterns[k]) && same_text(group, state.option_groups[k]))
                return option_value(param, Span{0, PyUnicode_GET_LENGTH(param)}, k, param);
        }
    }
    Ref match = call_method(re.get(), state.s_search, {regex, param});
    if (!truthy(match.get())) return none();
    Ref value = call_method(match.get(), state.s_group, {group});
    // «sql_type= » matches with the value group absent: no value, as when the option is absent.
    if (value.get() == Py_None) return value;
    return call_method(value.get(), state.s_strip);
}

}  // namespace velmo::fendrel
