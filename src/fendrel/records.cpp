// The classes SqlParamRegex, SqlParam and MarkerParam, and native construction of records.
#include "fendrel.hpp"

namespace velmo::fendrel {

using namespace rt;

namespace {

// An instance of cls made as object.__new__(cls) makes it, before __init__ runs.
Ref bare_instance(PyObject* cls) {
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    return Ref::steal(type->tp_new(type, state.empty_tuple, nullptr));
}

// Generic attribute store without the name interning of PyObject_SetAttr (the names are interned
// already); the native road runs only while the classes keep object's own attribute slots.
void store(PyObject* obj, PyObject* name, PyObject* value) { check(PyObject_GenericSetAttr(obj, name, value)); }

// "label" + str(value) for each pair, concatenated.
Ref describe(PyObject* self, std::initializer_list<std::pair<const char*, PyObject*>> fields) {
    Ref parts = Ref::steal(PyList_New(0));
    for (const auto& [label, attr] : fields) {
        check(PyList_Append(parts.get(), str(label).get()));
        Ref value = getattr(self, attr);
        Ref text = Ref::steal(PyObject_Str(value.get()));
        check(PyList_Append(parts.get(), text.get()));
    }
    return Ref::steal(PyUnicode_Join(state.s_empty, parts.get()));
}

}  // namespace

bool class_attr_is(PyObject* cls, PyObject* name, PyObject* fn) {
    Ref current = getattr(cls, name);
    return current.get() == fn;
}

bool plain_instances(PyObject* cls) {
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    return type->tp_new == PyBaseObject_Type.tp_new && type->tp_getattro == PyObject_GenericGetAttr &&
           type->tp_setattro == PyObject_GenericSetAttr;
}

bool sql_param_native(PyObject* globals) {
    return global_is(globals, state.s_SqlParam, state.sql_param_cls) && plain_instances(state.sql_param_cls) &&
           class_attr_is(state.sql_param_cls, state.s_init, state.own_sql_param_init);
}

Ref new_sql_param(PyObject* is_function, PyObject* param_name, PyObject* function_expression, PyObject* function_name) {
    Ref obj = bare_instance(state.sql_param_cls);
    store(obj.get(), state.s_is_function, is_function);
    store(obj.get(), state.s_param_name, param_name);
    store(obj.get(), state.s_function_expression, function_expression);
    store(obj.get(), state.s_function_name, function_name);
    return obj;
}

Ref new_marker_param(PyObject* sql_param, PyObject* full_name, PyObject* const options[option_count],
                     PyObject* param_name, bool with_name) {
    Ref obj = bare_instance(state.marker_param_cls);
    store(obj.get(), state.s_sql_param, sql_param);
    store(obj.get(), state.s_full_name, full_name);
    for (int i = 0; i < option_count; ++i) store(obj.get(), state.option_groups[i], options[i]);
    store(obj.get(), state.s_param_name, param_name);
    if (with_name) store(obj.get(), state.s_name, param_name);
    return obj;
}

Ref option_value(PyObject* text, Span span, int option, PyObject* full_name) {
    Span value{};
    switch (find_option(text, span, option_names[option], value)) {
        case OptionFound::Absent:
        case OptionFound::Empty: return none();
        case OptionFound::Value: return Ref::steal(PyUnicode_Substring(text, value.start, value.end));
        case OptionFound::Unsure: break;
    }
    // Non-ASCII text next to the value: let the regex package decide what "\w" takes.
    Ref match = call_method(state.re_module, state.s_search, {state.option_patterns[option], full_name});
    if (!truthy(match.get())) return none();
    Ref group = call_method(match.get(), state.s_group, {state.option_groups[option]});
    if (group.get() == Py_None) return group;
    return call_method(group.get(), state.s_strip);
}

// SqlParamRegex

Ref sql_param_regex_init_fn(const Args& a) {
    Ref re = load_global(a.globals(), state.s_re);
    Ref compiled = call_method(re.get(), state.s_compile, {a[1]});
    setattr(a[0], state.s_regex, compiled.get());
    setattr(a[0], state.s_prefix, a[2]);
    return none();
}

Ref sql_param_regex_resolve_param_fn(const Args& a) {
    PyObject* globals = a.globals();
    PyObject* param = a[1];
    Ref prefix = getattr(a[0], state.s_prefix);
    Ref body;
    if (PyUnicode_CheckExact(prefix.get()) && PyUnicode_IS_ASCII(prefix.get())) {
        std::string open(utf8(prefix.get()));
        open.push_back('{');
        Chars chars;
        marker_body(param, Span{0, PyUnicode_GET_LENGTH(param)}, open, chars);
        body = chars_str(chars, chars.size());
    } else {
        Ref open = concat(prefix.get(), state.s_open_brace);
        body = call_method(param, state.s_replace, {open.get(), state.s_empty});
        body = call_method(body.get(), state.s_replace, {state.s_close_brace, state.s_empty});
    }

    // param is exactly a str, so str.replace gave a str.
    Py_ssize_t paren = -1;
    if (global_is(globals, state.s_param_function_regex, state.param_function_regex)) {
        paren = function_paren(body.get(), true);
    } else {
        Ref pattern = load_global(globals, state.s_param_function_regex);
        if (truthy(call_method(pattern.get(), state.s_match, {body.get()}).get()))
            paren = function_paren(body.get(), false);
    }

    bool native = sql_param_native(globals);
    if (paren >= 0) {
        Ref name = Ref::steal(PyUnicode_Substring(body.get(), 0, paren));
        if (native) return new_sql_param(Py_True, Py_None, body.get(), name.get());
        Ref cls = load_global(globals, state.s_SqlParam);
        return call_kw(cls.get(), {body.get(), Py_True, name.get()}, state.kw_function);
    }
    Py_ssize_t n = PyUnicode_GET_LENGTH(body.get());
    Py_ssize_t comma = PyUnicode_FindChar(body.get(), ',', 0, n, 1);
    if (comma == -2) throw_error();
    Ref first = comma < 0 ? body : Ref::steal(PyUnicode_Substring(body.get(), 0, comma));
    if (native) return new_sql_param(Py_False, first.get(), Py_None, Py_None);
    Ref cls = load_global(globals, state.s_SqlParam);
    return call_kw(cls.get(), {first.get()}, state.kw_param_name);
}

// SqlParam

Ref sql_param_init_fn(const Args& a) {
    PyObject* self = a[0];
    setattr(self, state.s_is_function, a[3]);
    setattr(self, state.s_param_name, a[1]);
    setattr(self, state.s_function_expression, a[2]);
    setattr(self, state.s_function_name, a[4]);
    return none();
}

Ref sql_param_str_fn(const Args& a) {
    return describe(a[0], {{"is_function:", state.s_is_function},
                           {" ,param_name:", state.s_param_name},
                           {",function_expression:", state.s_function_expression},
                           {",function_name:", state.s_function_name}});
}

// MarkerParam

Ref marker_param_init_fn(const Args& a) {
    PyObject* self = a[0];
    setattr(self, state.s_sql_param, a[1]);
    setattr(self, state.s_full_name, a[2]);
    for (int i = 0; i < option_count; ++i) setattr(self, state.option_groups[i], a[3 + static_cast<size_t>(i)]);
    Ref param_name = getattr(a[1], state.s_param_name);
    setattr(self, state.s_param_name, param_name.get());
    return none();
}

Ref marker_param_str_fn(const Args& a) {
    return describe(a[0], {{"sql_param:", state.s_sql_param},
                           {" ,full_name:", state.s_full_name},
                           {",sql_type:", state.option_groups[0]},
                           {",python_type:", state.option_groups[1]},
                           {",type_handler:", state.option_groups[2]},
                           {",param_name:", state.s_param_name}});
}

}  // namespace velmo::fendrel
