// velmo.mapper.drovik: ParseMapper, which loads a mapper file, evaluates the dynamic SQL of its
// statements against parameters and prepares them as SQLAlchemy clauses with named binds.
#include "drovik.hpp"

#include "docs.inc"  // module_docs, from the stub

namespace velmo::drovik {

using namespace velmo::rt;

State state;

namespace {

using rt::Default;
using rt::Exact;
using rt::Kind;
using rt::Signature;

const char* const prepared_annotation = "tuple[TextClause, dict]";

const Signature init_sig{"__init__", {{"self"}, {"xml_path", Default::None, Exact::Str, "str"}}, init_fn};
const Signature get_sql_sig{
    "get_sql",
    {{"self"}, {"sql_id", Default::Required, Exact::Str, "str"}, {"params", Default::None, Exact::Dict, "dict"}},
    get_sql_fn,
    "tuple"};
const Signature list_statement_sig{"list_statement", {{"self"}}, list_statement_fn};
const Signature trim_prefix_sig{
    "_trim_prefix",
    {{"s", Default::Required, Exact::Str, "str"}, {"prefixes", Default::Required, Exact::Set, "set[str]"}},
    trim_prefix_fn};
const Signature trim_suffix_sig{
    "_trim_suffix",
    {{"s", Default::Required, Exact::Str, "str"}, {"suffixes", Default::Required, Exact::Set, "set[str]"}},
    trim_suffix_fn};
const Signature parse_element_sig{"parse_element",
                                  {{"self"},
                                   {"element", Default::Required, Exact::Any, "et.Element"},
                                   {"param", Default::Required, Exact::Dict, "dict"}},
                                  parse_element_fn};
const Signature format_sql_sig{"_format_sql", {{"sql"}}, format_sql_fn};
const Signature to_prepared_statement_sig{
    "to_prepared_statement", {{"ret"}, {"param"}}, to_prepared_statement_fn, prepared_annotation};
const Signature to_replace_sig{"to_replace", {{"ret"}, {"param"}}, to_replace_fn, "str"};

// clang-format off
#define VELMO_ACCESSOR(NAME, FN)                                                                                      \
    const Signature NAME##_sig{                                                                                       \
        #NAME,                                                                                                        \
        {{"self"}, {"id", Default::Required, Exact::Str, "str"}, {"params", Default::Required, Exact::Dict, "dict"}}, \
        FN, prepared_annotation};
// clang-format on
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
    state.intern();
    for (const mapper::ElementRule& e : mapper::elements) state.kinds[static_cast<int>(e.kind)] = kept_name(e.tag);
    for (int a = 0; a < static_cast<int>(Attribute::Count); ++a)
        state.attributes[a] = kept_name(mapper::attribute_names[a]);
    for (const mapper::StatementRule& s : mapper::statements)
        state.statement_tags[static_cast<int>(s.kind)] = kept_name(s.tag);
    state.code_cache = check(PyDict_New());
    state.clause_cache = check(PyDict_New());
    state.comma_override.push_back({Ref::borrow(state.s_comma), 1});
}

// The object a class's namespace holds under `attr`, kept for good: a replaced entry must never
// be freed and its address reused by a different object.
PyObject* class_entry(PyObject* cls, PyObject* attr) {
    PyObject* entry = internals::type_lookup(reinterpret_cast<PyTypeObject*>(cls), attr);
    if (!entry) raise(PyExc_SystemError, "class entry missing");
    return Py_NewRef(entry);
}

void exec_drovik(Module& m) {
    state = {};  // nothing left over from an initialisation that failed
    intern_names();
    state.globals = m.dict();

    Ref et = m.import("xml.etree.ElementTree", "et");
    state.element_type = getattr(et.get(), "Element").release();
    // ElementTree's C element type keeps its fields behind getset descriptors; while the type is
    // immutable and looked up generically, calling their getters is reading the attributes.
    auto* element_type = reinterpret_cast<PyTypeObject*>(state.element_type);
    bool fixed = PyType_Check(state.element_type) && (element_type->tp_flags & Py_TPFLAGS_IMMUTABLETYPE) &&
                 element_type->tp_getattro == PyObject_GenericGetAttr && element_type->tp_dictoffset == 0;
    for (int f = 0; fixed && f < static_cast<int>(Field::Count); ++f) {
        PyObject* descr = internals::type_lookup(element_type, field_name(static_cast<Field>(f)));
        if (descr) state.element_get[f] = internals::getset_getter(descr, &state.element_closure[f]);
    }
    state.re_module = m.import("re").release();
    state.re_sub = getattr(state.re_module, state.s_sub).release();
    m.from_import("sqlalchemy", {"text"});
    state.sqlalchemy_text = dict_get(m.dict(), state.s_text).release();
    m.from_import("velmo.utils.wollix", {"get_type_from_string", "is_container_type_by_str"});
    state.own_get_type_from_string = dict_get(m.dict(), state.s_get_type_from_string).release();
    state.own_is_container_type_by_str = dict_get(m.dict(), state.s_is_container_type_by_str).release();

    state.builtin_eval = dict_get(check(PyEval_GetBuiltins()), state.s_eval).release();

    // The tags that make a statement element.
    Ref kinds = Ref::steal(PyList_New(0));
    for (PyObject* tag : state.statement_tags) check(PyList_Append(kinds.get(), tag));
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
    state.own_parse_element = class_entry(cls, state.s_parse_element);
    state.own_trim_prefix = class_entry(cls, state.s_trim_prefix);
    state.own_trim_suffix = class_entry(cls, state.s_trim_suffix);
    state.own_format_sql = class_entry(cls, state.s_format_sql);
    apply_docs(m, module_docs);
}

}  // namespace

}  // namespace velmo::drovik

VELMO_MODULE(drovik, "velmo.mapper.drovik", velmo::drovik::exec_drovik)
