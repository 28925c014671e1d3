// velmo.utils.fendrel: parameter markers «#{..}», «${..}» and «$f{..}» and their type options.
#include "fendrel.hpp"

#include "docs.inc"  // module_docs, from the stub

namespace velmo::fendrel {

using namespace rt;

State state;

namespace {

const Signature sql_param_regex_init_sig{
    "__init__",
    {{"self"}, {"regex", Default::Required, Exact::Str, "str"}, {"prefix", Default::Required, Exact::Str, "str"}},
    sql_param_regex_init_fn};
const Signature resolve_param_sig{
    "resolve_param", {{"self"}, {"param", Default::Required, Exact::Str, "str"}}, sql_param_regex_resolve_param_fn};

const Signature sql_param_init_sig{"__init__",
                                   {{"self"},
                                    {"param_name", Default::None, Exact::Str, "str"},
                                    {"function_expression", Default::None, Exact::Str, "str"},
                                    {"is_function", Default::False, Exact::Any, "bool"},
                                    {"function_name", Default::None, Exact::Str, "str"}},
                                   sql_param_init_fn};
const Signature sql_param_str_sig{"__str__", {{"self"}}, sql_param_str_fn};

const Signature marker_param_init_sig{"__init__",
                                      {{"self"},
                                       {"sql_param", Default::Required, Exact::Any, "SqlParam"},
                                       {"full_name", Default::None, Exact::Str, "str"},
                                       {"sql_type", Default::None, Exact::Str, "str"},
                                       {"python_type", Default::None, Exact::Str, "str"},
                                       {"type_handler", Default::None, Exact::Str, "str"}},
                                      marker_param_init_fn};
const Signature marker_param_str_sig{"__str__", {{"self"}}, marker_param_str_fn};

const Signature get_params_sig{"get_params", {{"child"}}, get_params_fn};
const Signature get_regex_value_sig{"__get_regex_value",
                                    {{"regex", Default::Required, Exact::Str, "str"},
                                     {"param", Default::Required, Exact::Str, "str"},
                                     {"group", Default::Required, Exact::Str, "str"}},
                                    get_regex_value_fn};
const Signature get_sql_param_sig{"get_sql_param", {{"param_text"}}, get_sql_param_fn};

struct Family {
    const char* name;
    std::initializer_list<const char*> types;
};
const Family type_families[] = {
    {"NUM", {"TINYINT", "SMALLINT", "INTEGER", "BIGINT", "BIT", "DECIMAL", "DOUBLE", "FLOAT", "NUMERIC"}},
    {"BOOLEAN", {"BOOLEAN"}},
    {"DATE", {"DATE", "TIME", "TIMESTAMP"}},
    {"STRING", {"CHAR", "VARCHAR", "NCHAR", "NVARCHAR", "LONGNVARCHAR", "LONGVARCHAR"}},
    {"BINARY", {"BINARY", "VARBINARY", "LONGVARBINARY", "BLOB"}},
    {"OTHER",
     {"ARRAY", "CLOB", "CURSOR", "DATALINK", "DATETIMEOFFSET", "DISTINCT", "NCLOB", "NULL", "OTHER", "REAL", "REF",
      "ROWID", "SQLXML", "STRUCT", "UNDEFINED"}},
};

const char* const marker_patterns[marker_kinds] = {"\\#\\{.+?\\}", "\\$\\{.+?\\}", "\\$f\\{.+?\\}"};
const char* const marker_prefixes[marker_kinds] = {"#", "$", "$f"};
const char* const option_patterns[option_count] = {
    "(\\s*sql_type\\s*=\\s*)(?P<sql_type>\\w+)?",
    "(\\s*python_type\\s*=\\s*)(?P<python_type>\\w+)?",
    "(\\s*type_handler\\s*=\\s*)(?P<type_handler>\\w+)?",
};

void make_constants() {
    state.kw_key = kept_names({"key"});
    state.kw_marker_param = kept_names({"full_name", "sql_param"});
    state.kw_function = kept_names({"function_expression", "is_function", "function_name"});
    state.kw_param_name = kept_names({"param_name"});
    state.empty_tuple = check(PyTuple_New(0));
    for (int k = 0; k < option_count; ++k) {
        state.option_patterns[k] = str(option_patterns[k]).release();
        state.option_groups[k] = kept_name(std::string(option_names[k]).c_str());
    }
}

void exec_fendrel(Module& m) {
    state = {};  // nothing left over from an initialisation that failed
    state.intern();
    make_constants();
    state.sorted = dict_get(check(PyEval_GetBuiltins()), state.s_sorted).release();

    state.re_module = m.import("regex", "re").release();
    state.regex_compile = getattr(state.re_module, state.s_compile).release();
    state.regex_search = getattr(state.re_module, state.s_search).release();

    Ref type_mapping = Ref::steal(PyDict_New());
    for (const Family& family : type_families) {
        Ref types = Ref::steal(PyList_New(0));
        for (const char* t : family.types) check(PyList_Append(types.get(), str(t).get()));
        dict_set(type_mapping.get(), family.name, types.get());
    }
    m.add("type_mapping", type_mapping);

    state.param_function_regex = Py_NewRef(
        m.add("param_function_regex", call_method(state.re_module, state.s_compile, {str(".+?\\(.+?\\)").get()})));

    state.sql_param_regex_cls =
        Py_NewRef(m.def_class("SqlParamRegex", {{&sql_param_regex_init_sig}, {&resolve_param_sig}}));
    state.sql_param_cls = Py_NewRef(m.def_class("SqlParam", {{&sql_param_init_sig}, {&sql_param_str_sig}}));
    state.marker_param_cls = Py_NewRef(m.def_class("MarkerParam", {{&marker_param_init_sig}, {&marker_param_str_sig}}));
    state.own_resolve_param = getattr(state.sql_param_regex_cls, state.s_resolve_param).release();
    state.own_sql_param_init = getattr(state.sql_param_cls, state.s_init).release();
    state.own_marker_param_init = getattr(state.marker_param_cls, state.s_init).release();

    Ref regex_list = Ref::steal(PyList_New(0));
    for (int i = 0; i < marker_kinds; ++i) {
        state.prefixes[i] = str(marker_prefixes[i]).release();
        Ref item = call(state.sql_param_regex_cls, {str(marker_patterns[i]).get(), state.prefixes[i]});
        state.marker_patterns[i] = getattr(item.get(), state.s_regex).release();
        check(PyList_Append(regex_list.get(), item.get()));
        state.regex_items[i] = item.release();
    }
    state.sql_regex_list = Py_NewRef(m.add("sql_regex_list", regex_list));

    m.def(get_params_sig);
    state.own_get_regex_value = Py_NewRef(m.def(get_regex_value_sig));
    m.def(get_sql_param_sig);

    state.nonspace_pattern = call_method(state.re_module, state.s_compile, {state.s_nonspace}).release();
    apply_docs(m, module_docs);
}

}  // namespace

}  // namespace velmo::fendrel

VELMO_MODULE(fendrel, "velmo.utils.fendrel", velmo::fendrel::exec_fendrel)
