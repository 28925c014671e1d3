// velmo.mapper.checker: finds the problems of mapper files without a database, for
// `python -m velmo check FILE...` and the `velmo` script.
//
// The namespace holds check() and main(); the parser's handlers are function objects of this
// module that are not part of it. Result types resolve through velmo.utils.wollix, as loading
// resolves them.
#include "checker.hpp"

#include "docs.inc"  // module_docs, from the stub

namespace velmo::checker {

using namespace velmo::rt;

State state;

namespace {

using rt::Default;
using rt::Exact;
using rt::Signature;

const Signature check_sig{"check", {{"paths", Default::Required, Exact::List, "list[str]"}}, check_fn, "list[str]"};
const Signature main_sig{"main", {{"argv", Default::None, Exact::List, "list[str]"}}, main_fn, "int"};

const Signature on_start_sig{"_on_start", {{"reader"}, {"name"}, {"attributes"}}, on_start_fn};
const Signature on_end_sig{"_on_end", {{"reader"}, {"name"}}, on_end_fn};
const Signature on_data_sig{"_on_data", {{"reader"}, {"data"}}, on_data_fn};
const Signature on_default_sig{"_on_default", {{"reader"}, {"data"}}, on_default_fn};

Ref import_attribute(const char* module, const char* name) {
    Ref m = Ref::steal(PyImport_ImportModule(module));
    return getattr(m.get(), name);
}

void exec_checker(Module& m) {
    state = {};  // nothing left over from an initialisation that failed
    state.get_type_from_string = import_attribute("velmo.utils.wollix", "get_type_from_string").release();
    state.is_container_type_by_str = import_attribute("velmo.utils.wollix", "is_container_type_by_str").release();
    state.parser_create = import_attribute("xml.parsers.expat", "ParserCreate").release();
    state.expat_error = import_attribute("xml.parsers.expat", "ExpatError").release();
    state.error_string = import_attribute("xml.parsers.expat", "ErrorString").release();
    state.open = import_attribute("io", "open").release();
    state.is_keyword = import_attribute("keyword", "iskeyword").release();

    state.intern();

    state.on_start = m.function(on_start_sig).release();
    state.on_end = m.function(on_end_sig).release();
    state.on_data = m.function(on_data_sig).release();
    state.on_default = m.function(on_default_sig).release();
    m.def(check_sig);
    m.def(main_sig);
    apply_docs(m, module_docs);
}

}  // namespace

}  // namespace velmo::checker

VELMO_MODULE(checker, "velmo.mapper.checker", velmo::checker::exec_checker)
