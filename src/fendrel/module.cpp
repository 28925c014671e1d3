// velmo.utils.fendrel: parameter markers «#{..}», «${..}» and «$f{..}» and their type options.
#include "fendrel.hpp"

namespace velmo::fendrel {

using namespace rt;

State state;

namespace {

const Signature sql_param_regex_init_sig{
    "__init__",
    {{"self"}, {"regex", Default::Required, Exact::Str, "str"}, {"prefix", Default::Required, Exact::Str, "str"}},
    sql_param_regex_init};
const Signature resolve_param_sig{
    "resolve_param", {{"self"}, {"param", Default::Required, Exact::Str, "str"}}, sql_param_regex_resolve_param};

const Signature sql_param_init_sig{"__init__",
                                       {{"self"},
                                        {"param_name", Default::None, Exact::Str, "str"},
                                        {"function_expression", Default::None, Exact::Str, "str"},
                                        {"is_function", Default::False, Exact::Any, "bool"},
                                        {"function_name", Default::None, Exact::Str, "str"}},
                                       sql_param_init};
const Signature sql_param_str_sig{"__str__", {{"self"}}, sql_param_str};

const Signature marker_param_init_sig{"__init__",
                                           {{"self"},
                                            {"sql_param", Default::Required, Exact::Any, "SqlParam"},
                                            {"full_name", Default::None, Exact::Str, "str"},
                                            {"sql_type", Default::None, Exact::Str, "str"},
                                            {"python_type", Default::None, Exact::Str, "str"},
                                            {"type_handler", Default::None, Exact::Str, "str"}},
                                           marker_param_init};
const Signature marker_param_str_sig{"__str__", {{"self"}}, marker_param_str};

const Signature get_params_sig{"get_params", {{"child"}}, get_params};
const Signature get_regex_value_sig{"__get_regex_value",
                                        {{"regex", Default::Required, Exact::Str, "str"},
                                         {"param", Default::Required, Exact::Str, "str"},
                                         {"group", Default::Required, Exact::Str, "str"}},
                                        get_regex_value};
const Signature get_sql_param_sig{"get_sql_param", {{"param_text"}}, get_sql_param};

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
    {"OTHER", {"ARRAY", "CLOB", "CURSOR", "DATALINK", "DATETIMEOFFSET", "DISTINCT", "NCLOB", "NULL", "OTHER",
               "REAL", "REF", "ROWID", "SQLXML", "STRUCT", "UNDEFINED"}},
};

const char* const marker_patterns[marker_kinds] = {"\\#\\{.+?\\}", "\\$\\{.+?\\}", "\\$f\\{.+?\\}"};
const char* const marker_prefixes[marker_kinds] = {"#", "$", "$f"};
const char* const option_patterns[option_count] = {
    "(\\s*sql_type\\s*=\\s*)(?P<sql_type>\\w+)?",
    "(\\s*python_type\\s*=\\s*)(?P<python_type>\\w+)?",
    "(\\s*type_handler\\s*=\\s*)(?P<type_handler>\\w+)?",
};


void init_names() {
    state.s_re = kept_name("re");
    state.s_sql_regex_list = kept_name("sql_regex_list");
    state.s_sql_param = kept_name("SqlParam");
    state.s_marker_param = kept_name("MarkerParam");
    state.s_get_regex_value = kept_name("__get_regex_value");
    state.s_param_function_regex = kept_name("param_function_regex");
    state.s_regex = kept_name("regex");
    state.s_prefix = kept_name("prefix");
    state.s_resolve_param = kept_name("resolve_param");
    state.s_init = kept_name("__init__");
    state.s_is_function = kept_name("is_function");
    state.s_param_name = kept_name("param_name");
    state.s_function_expression = kept_name("function_expression");
    state.s_function_name = kept_name("function_name");
    state.s_sql_param_attr = kept_name("sql_param");
    state.s_full_name = kept_name("full_name");
    state.s_name = kept_name("name");
    state.s_text = kept_name("text");
    state.s_tail = kept_name("tail");
    state.s_findall = kept_name("findall");
    state.s_match = kept_name("match");
    state.s_search = kept_name("search");
    state.s_compile = kept_name("compile");
    state.s_replace = kept_name("replace");
    state.s_group = kept_name("group");
    state.s_strip = kept_name("strip");
    state.s_index = kept_name("index");
    state.s_key_tuple = tuple({interned("key").get()}).release();
    state.s_empty = kept_name("");
    state.s_open_brace = kept_name("{");
    state.s_close_brace = kept_name("}");
    state.s_nonspace = kept_name("\\S");
    state.kw_marker_param = tuple({state.s_full_name, state.s_sql_param_attr}).release();
    state.kw_function = tuple({state.s_function_expression, state.s_is_function, state.s_function_name}).release();
    state.kw_param_name = tuple({state.s_param_name}).release();
    state.empty_tuple = PyTuple_New(0);
    check(state.empty_tuple);
    for (int k = 0; k < option_count; ++k) {
        state.option_patterns[k] = str(option_patterns[k]).release();
        state.option_groups[k] = kept_name(std::string(option_names[k]).c_str());
    }
}

void exec_fendrel(Module& m) {
    state = {};  // nothing left over from an initialisation that failed
    init_names();
    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    state.sorted = getattr(builtins.get(), "sorted").release();

    state.re = m.import("regex", "re").release();
    state.regex_compile = getattr(state.re, state.s_compile).release();
    state.regex_search = getattr(state.re, state.s_search).release();

    Ref type_mapping = Ref::steal(PyDict_New());
    for (const Family& family : type_families) {
        Ref types = Ref::steal(PyList_New(0));
        for (const char* t : family.types) check(PyList_Append(types.get(), str(t).get()));
        dict_set(type_mapping.get(), family.name, types.get());
    }
    m.add("type_mapping", type_mapping);

    state.param_function_regex = Py_NewRef(
        m.add("param_function_regex", call_method(state.re, state.s_compile, {str(".+?\\(.+?\\)").get()})));

    state.sql_param_regex_cls =
        Py_NewRef(m.def_class("SqlParamRegex", {{&sql_param_regex_init_sig}, {&resolve_param_sig}}));
    state.sql_param_cls = Py_NewRef(m.def_class("SqlParam", {{&sql_param_init_sig}, {&sql_param_str_sig}}));
    state.marker_param_cls =
        Py_NewRef(m.def_class("MarkerParam", {{&marker_param_init_sig}, {&marker_param_str_sig}}));
    state.resolve_param_fn = getattr(state.sql_param_regex_cls, state.s_resolve_param).release();
    state.sql_param_init_fn = getattr(state.sql_param_cls, state.s_init).release();
    state.marker_param_init_fn = getattr(state.marker_param_cls, state.s_init).release();

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
    state.get_regex_value_fn = Py_NewRef(m.def(get_regex_value_sig));
    m.def(get_sql_param_sig);

    state.nonspace_pattern = call_method(state.re, state.s_compile, {state.s_nonspace}).release();
}

}  // namespace

}  // namespace velmo::fendrel

VELMO_MODULE(fendrel, "velmo.utils.fendrel", velmo::fendrel::exec_fendrel)
