// The mapper element and its statements, as ParseMapper's constructor reads them.
//
// Loading stops at the first statement without an id or with a result type it refuses; the
// checker reports each of them and goes on. A result type is resolved by the very functions
// loading calls, so a name resolves here exactly when it does there, and a refusal carries the
// message of the error that loading raises.
#include "../mapper/elements.hpp"
#include "checker.hpp"

namespace velmo::checker {

using namespace velmo::rt;

namespace {

// "sql, select, insert, update and delete"
std::string statement_tags() {
    std::string out;
    for (const mapper::StatementRule& s : mapper::statements) {
        if (!out.empty()) out += &s == std::end(mapper::statements) - 1 ? " and " : ", ";
        out += s.tag;
    }
    return out;
}

// The first element named mapper in document order (the root included), else the root.
size_t mapper_element(const Document& doc) {
    for (size_t i = 0; i < doc.nodes.size(); ++i)
        if (doc.nodes[i].tag == "mapper") return i;
    return 0;
}

void check_result_type(const Node& node, const std::string& text, Report& report) {
    Ref type_str = str(text);
    PyObject* resolved = PyObject_CallOneArg(state.get_type_from_string, type_str.get());
    if (!resolved) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw_error();
        SavedError caught;
        Ref message = Ref::steal(PyObject_Str(caught.get()));
        std::string line = "resultType " + quoted(text) + ": " + std::string(utf8(message.get()));
        // A module that did not import: say where it was looked for.
        Ref context = Ref::steal_or_null(PyException_GetContext(caught.get()));
        if (!state.looked_in.empty() && context && PyErr_GivenExceptionMatches(context.get(), PyExc_ImportError))
            line += " (looked in: " + state.looked_in + ")";
        report.error(node.at, line);
        return;
    }
    Ref type = Ref::steal(resolved);
    Ref container = call(state.is_container_type_by_str, {type_str.get()});
    if (truthy(container.get()) && type.get() != reinterpret_cast<PyObject*>(&PyDict_Type))
        report.error(node.at, "resultType " + quoted(text) + ": please check result_type: can`t set type: " + text);
}

}  // namespace

void check_attributes(const Node& node, const std::vector<std::string_view>& known, Report& report) {
    for (const auto& [name, value] : node.attributes) {
        bool read = false;
        for (std::string_view k : known) read = read || k == name;
        if (!read) report.error(node.at, "unknown attribute " + quoted(name) + " on " + node.tag);
    }
}

void check_document(const Document& doc, Report& report) {
    size_t root = mapper_element(doc);
    const Node& mapper_node = doc.nodes[root];
    // The attributes that point an editor at the schema (python/velmo/mapper/mapper.xsd) are
    // the XML Schema instance namespace's; loading ignores them.
    if (mapper_node.tag == "mapper")
        check_attributes(mapper_node,
                         {"namespace", "{http://www.w3.org/2001/XMLSchema-instance}noNamespaceSchemaLocation",
                          "{http://www.w3.org/2001/XMLSchema-instance}schemaLocation"},
                         report);

    Mapper mapper{doc, {}, {}, report};
    for (size_t index : mapper_node.children) {
        const Node& node = doc.nodes[index];
        const mapper::StatementRule* rule = mapper::statement_rule(node.tag);
        if (!rule) {
            report.error(node.at,
                         "unknown element " + quoted(node.tag) + " in mapper: only " + statement_tags() + " are read");
            continue;
        }
        mapper.statements.push_back(index);
        check_attributes(node, {"id", "resultType"}, report);
        if (const std::string* id = node.attribute("id")) {
            auto [entry, fresh] = mapper.by_id.try_emplace(*id, index);
            if (!fresh) {
                report.error(node.at, "duplicate id " + quoted(*id) + ": replaces the " + doc.nodes[entry->second].tag +
                                          " at line " + std::to_string(doc.nodes[entry->second].at.line));
                entry->second = index;
            }
        } else {
            report.error(node.at, node.tag + " without an id");
        }
        const std::string* result_type = node.attribute("resultType");
        if (result_type && rule->result_type)
            check_result_type(node, *result_type, report);
        else if (result_type)
            report.warning(node.at, "resultType is ignored on " + node.tag);
    }
    for (size_t index : mapper.statements) check_body(mapper, index);
    check_include_cycles(mapper);
    check_include_expansion(mapper);
}

}  // namespace velmo::checker
