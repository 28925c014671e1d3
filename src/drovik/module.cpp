// velmo.mapper.drovik: ParseMapper, which loads a mapper file, evaluates the dynamic SQL of its
// statements against parameters and prepares them as SQLAlchemy clauses with named binds.
#include "drovik.hpp"

namespace velmo::drovik {

using namespace velmo::rt;

State state;

namespace {

using rt::Default;
using rt::Exact;
using rt::Signature;
using rt::Kind;

const char* const prepared_annotation = "tuple[TextClause, dict]";

const Signature init_sig{
    "__init__", {{"self"}, {"xml_path", Default::None, Exact::Str, "str"}}, init_fn};
const Signature get_sql_sig{
    "get_sql",
    {{"self"}, {"sql_id", Default::Required, Exact::Str, "str"}, {"params", Default::None, Exact::Dict, "dict"}},
    get_sql_fn,
    "tuple",
    "Get SQL Statement By sql_id\nFormatting of SQL Statements\n:return:"};
const Signature list_statement_sig{"list_statement", {{"self"}}, list_statement_fn};
const Signature trim_prefix_sig{
    "_trim_prefix",
    {{"s", Default::Required, Exact::Str, "str"}, {"prefixes", Default::Required, Exact::Set, "set[str]"}},
    trim_prefix_fn};
const Signature trim_suffix_sig{
    "_trim_suffix",
    {{"s", Default::Required, Exact::Str, "str"}, {"suffixes", Default::Required, Exact::Set, "set[str]"}},
    trim_suffix_fn};
const Signature parse_element_sig{
    "parse_element",
    {{"self"}, {"element", Default::Required, Exact::Any, "et.Element"}, {"param", Default::Required, Exact::Dict, "dict"}},
    parse_element_fn};
const Signature format_sql_sig{"_format_sql", {{"sql"}}, format_sql_fn};
const Signature to_prepared_statement_sig{
    "to_prepared_statement", {{"ret"}, {"param"}}, to_prepared_statement_fn, prepared_annotation};
const Signature to_replace_sig{"to_replace", {{"ret"}, {"param"}}, to_replace_fn, "str"};

#define VELMO_ACCESSOR(NAME, FN)                                                                      \
    const Signature NAME##_sig{                                                                   \
        #NAME,                                                                                        \
        {{"self"}, {"id", Default::Required, Exact::Str, "str"}, {"params", Default::Required, Exact::Dict, "dict"}}, \
        FN, prepared_annotation};
VELMO_ACCESSOR(select, select_fn)
VELMO_ACCESSOR(update, update_fn)
VELMO_ACCESSOR(delete, delete_fn)
#undef VELMO_ACCESSOR
const Signature insert_sig{"insert",
                               {{"self"},
                                {"id", Default::Required, Exact::Str, "str"},
                                {"params", Default::Required, Exact::Dict, "dict"},
                                {"primary_key", Default::None, Exact::Str, "str"}},
                               insert_fn,
                               prepared_annotation};


void intern_names() {
    State& s = state;
    s.n_tag = kept_name("tag");
    s.n_text = kept_name("text");
    s.n_tail = kept_name("tail");
    s.n_attrib = kept_name("attrib");
    s.n_get = kept_name("get");
    s.n_keys = kept_name("keys");
    s.n_parse_element = kept_name("parse_element");
    s.n_to_prepared_statement = kept_name("to_prepared_statement");
    s.n_trim_prefix = kept_name("_trim_prefix");
    s.n_trim_suffix = kept_name("_trim_suffix");
    s.n_format_sql = kept_name("_format_sql");
    s.n_select = kept_name("select");
    s.n_insert = kept_name("insert");
    s.n_update = kept_name("update");
    s.n_delete = kept_name("delete");
    s.n_id_2_element_map = kept_name("id_2_element_map");
    s.n_result_type_map = kept_name("result_type_map");
    s.n_sql_type_map = kept_name("sql_type_map");
    s.n_namespace = kept_name("namespace");
    s.n_mapper_class = kept_name("ParseMapper");
    s.n_text_fn = kept_name("text");
    s.n_re = kept_name("re");
    s.n_param_pattern = kept_name("param_pattern");
    s.n_replace_pattern = kept_name("replace_pattern");
    s.n_findall = kept_name("findall");
    s.n_sub = kept_name("sub");
    s.n_replace = kept_name("replace");
    s.n_strip = kept_name("strip");
    s.n_split = kept_name("split");
    s.n_join = kept_name("join");
    s.n_upper = kept_name("upper");
    s.n_startswith = kept_name("startswith");
    s.n_endswith = kept_name("endswith");
    s.n_iter = kept_name("iter");
    s.n_getroot = kept_name("getroot");
    s.n_parse = kept_name("parse");
    s.n_et = kept_name("et");
    s.n_sql_id_type_list = kept_name("sql_id_type_list");
    s.n_get_type_from_string = kept_name("get_type_from_string");
    s.n_is_container_type_by_str = kept_name("is_container_type_by_str");
    s.n_builtins = kept_name("__builtins__");
    s.n_eval = kept_name("eval");

    s.a_id = kept_name("id");
    s.a_result_type = kept_name("resultType");
    s.a_refid = kept_name("refid");
    s.a_test = kept_name("test");
    s.a_prefix = kept_name("prefix");
    s.a_suffix = kept_name("suffix");
    s.a_prefix_overrides = kept_name("prefixOverrides");
    s.a_suffix_overrides = kept_name("suffixOverrides");
    s.a_item = kept_name("item");
    s.a_collection = kept_name("collection");
    s.a_open = kept_name("open");
    s.a_close = kept_name("close");
    s.a_separator = kept_name("separator");
    s.k_params = kept_name("params");
    s.k_mapper = kept_name("mapper");
    s.k_namespace = kept_name("namespace");
    s.s_empty = kept_name("");
    s.s_space = kept_name(" ");
    s.s_newline = kept_name("\n");
    s.s_comma = kept_name(",");
    s.s_where = kept_name("WHERE ");
    s.s_set = kept_name("SET ");
    s.s_returning = kept_name(" RETURNING ");
    s.s_for_index = kept_name("_for_index_");
    s.s_marker_open = kept_name("#{");
    s.s_marker_close = kept_name("}");
    s.s_subst_open = kept_name("${");
    s.s_pipe = kept_name("|");
    s.s_is_list_head = kept_name("isinstance(");
    s.s_is_list_tail = kept_name(",list)");
    s.s_copy_head = kept_name("[item for item in ");
    s.s_copy_tail = kept_name("]");
    s.sub_pattern = kept_name("#\\{([^}]+)\\}");
    s.sub_replacement = kept_name(":\\1");

    const char* kinds[10] = {"include", "sql",    "if",   "where",     "trim",
                             "set",     "choose", "when", "otherwise", "foreach"};
    for (int k = 0; k < 10; ++k) s.kinds[k] = kept_name(kinds[k]);
    s.t_select = kept_name("select");
    s.t_insert = kept_name("insert");
    s.t_update = kept_name("update");
    s.t_delete = kept_name("delete");
}

// The object a class's namespace holds under `attr`, kept for good: a replaced entry must never
// be freed and its address reused by a different object.
PyObject* class_entry(PyObject* cls, PyObject* attr) {
    PyObject* entry = _PyType_Lookup(reinterpret_cast<PyTypeObject*>(cls), attr);
    if (!entry) raise(PyExc_SystemError, "class entry missing");
    return Py_NewRef(entry);
}

void exec_drovik(Module& m) {
    state = {};  // nothing left over from an initialisation that failed
    intern_names();
    state.globals = m.dict();

    Ref et = m.import("xml.etree.ElementTree", "et");
    state.element_type = getattr(et.get(), "Element").release();
    state.field_names[f_tag] = state.n_tag;
    state.field_names[f_text] = state.n_text;
    state.field_names[f_tail] = state.n_tail;
    state.field_names[f_attrib] = state.n_attrib;
    auto* element_type = reinterpret_cast<PyTypeObject*>(state.element_type);
    bool fixed = PyType_Check(state.element_type) && (element_type->tp_flags & Py_TPFLAGS_IMMUTABLETYPE) &&
                 element_type->tp_getattro == PyObject_GenericGetAttr && element_type->tp_dictoffset == 0;
    for (int f = 0; f < 4; ++f) {
        PyObject* descr = fixed ? _PyType_Lookup(element_type, state.field_names[f]) : nullptr;
        if (descr && Py_IS_TYPE(descr, &PyGetSetDescr_Type)) {
            PyGetSetDef* def = reinterpret_cast<PyGetSetDescrObject*>(descr)->d_getset;
            state.element_get[f] = def->get;
            state.element_closure[f] = def->closure;
        }
    }
    state.re_module = m.import("re").release();
    state.re_sub = getattr(state.re_module, state.n_sub).release();
    m.from_import("sqlalchemy", {"text"});
    state.text = dict_get(m.dict(), state.n_text_fn).release();
    m.from_import("velmo.utils.wollix", {"get_type_from_string", "is_container_type_by_str"});

    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    state.builtin_eval = getattr(builtins.get(), "eval").release();

    // The tags that make a statement element.
    Ref kinds = Ref::steal(PyList_New(0));
    for (const char* tag : {"sql", "select", "insert", "update", "delete"})
        check(PyList_Append(kinds.get(), str(tag).get()));
    m.add("sql_id_type_list", kinds);

    Ref compile = getattr(state.re_module, "compile");
    state.param_pattern = m.add("param_pattern", call(compile.get(), {str("#{([a-zA-Z0-9_\\-]+)}").get()}));
    m.add("replace_pattern", call(compile.get(), {str("\\${([a-zA-Z0-9_\\-]+)}").get()}));

    PyObject* cls = m.def_class("ParseMapper", {
                                                   {&init_sig},
                                                   {&get_sql_sig},
                                                   {&list_statement_sig},
                                                   {&trim_prefix_sig, Kind::Static},
                                                   {&trim_suffix_sig, Kind::Static},
                                                   {&parse_element_sig},
                                                   {&format_sql_sig, Kind::Static},
                                                   {&to_prepared_statement_sig, Kind::Static},
                                                   {&to_replace_sig, Kind::Static},
                                                   {&select_sig},
                                                   {&update_sig},
                                                   {&delete_sig},
                                                   {&insert_sig},
                                               });
    state.mapper_class = Py_NewRef(cls);
    state.own_parse_element = class_entry(cls, state.n_parse_element);
    state.own_trim_prefix = class_entry(cls, state.n_trim_prefix);
    state.own_trim_suffix = class_entry(cls, state.n_trim_suffix);
    state.own_format_sql = class_entry(cls, state.n_format_sql);
}

}  // namespace

}  // namespace velmo::drovik

VELMO_MODULE(drovik, "velmo.mapper.drovik", velmo::drovik::exec_drovik)
