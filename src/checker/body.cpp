// Statement bodies, as parse_element evaluates them.
//
// Each element kind and the attributes it reads; an element of any other tag makes the
// evaluation fail, so it is an error wherever evaluation reaches it. Conditions are compiled the
// way eval compiles them (without running them), foreach collections must be plain parameter
// names (they are evaluated against the caller's parameters and bound as "NAME_for_index_N"),
// and include must name an sql fragment of the same file.
#include "../mapper/compile.hpp"
#include "../mapper/elements.hpp"
#include "checker.hpp"

namespace velmo::checker {

using namespace velmo::rt;

namespace {

using mapper::Attribute;
using mapper::ElementKind;
using mapper::name_of;
using mapper::tag_of;

// The names of the attributes in `set`, in order.
std::vector<std::string_view> names(mapper::Attributes set) {
    std::vector<std::string_view> out;
    set.each([&](Attribute a) { out.push_back(name_of(a)); });
    return out;
}

// Why `expression` does not compile as eval(expression, ...) compiles it, or "".
std::string compile_problem(const std::string& expression) {
    try {
        mapper::compile_as_eval(expression.c_str(), expression.size());
        return {};
    } catch (const PyErrorSet&) {
        // Running out of recursion is the nesting's problem, not the expression's.
        if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_RecursionError)) throw;
    }
    SavedError caught;
    Ref message;
    if (PyErr_GivenExceptionMatches(caught.get(), PyExc_SyntaxError))
        message = getattr_optional(caught.get(), state.s_msg);
    if (!message || !PyUnicode_Check(message.get())) message = Ref::steal(PyObject_Str(caught.get()));
    return std::string(utf8(message.get()));
}

// A name that foreach can evaluate and bind: an ASCII identifier (what a marker name may hold)
// that is no keyword and holds no "_for_index_" (binding splits the marker name there).
bool plain_name(const std::string& name) {
    if (name.empty() || (name[0] >= '0' && name[0] <= '9')) return false;
    for (char c : name)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_')) return false;
    if (name.find("_for_index_") != std::string::npos) return false;
    return !truthy(call(state.is_keyword, {str(name).get()}).get());
}

class Walk {
public:
    explicit Walk(const Mapper& mapper) : m_(mapper) {}

    // The element's text, children and their tails.
    void body(const Node& node) {
        check_markers(node.text, items_, m_.report);
        for (size_t child : node.children) {
            element(m_.doc.nodes[child], false);
            check_markers(m_.doc.nodes[child].tail, items_, m_.report);
        }
    }

private:
    // Nesting deeper than the recursion limit allows fails evaluation with RecursionError; the
    // check reports it once, where it ran out, and goes no deeper.
    void element(const Node& node, bool in_choose) {
        if (too_deep_) return;
        try {
            RecursionGuard guard(" while checking a mapper element");
            check_stack(floor_, "maximum recursion depth exceeded while checking a mapper element");
            ++depth_;
            checked(node, in_choose);
            --depth_;
        } catch (const PyErrorSet&) {
            if (too_deep_ || !PyErr_ExceptionMatches(PyExc_RecursionError)) throw;
            PyErr_Clear();
            too_deep_ = true;
            m_.report.error(node.at, "elements nested deeper than the recursion limit allows (" +
                                         std::to_string(depth_) +
                                         " levels): evaluating the statement raises "
                                         "RecursionError");
        }
    }

    void checked(const Node& node, bool in_choose) {
        Report& report = m_.report;
        const mapper::ElementRule* rule = mapper::element_rule(node.tag);
        if (!rule) {
            report.error(node.at, "unknown element " + quoted(node.tag) + ": evaluating the statement fails");
            return;
        }
        check_attributes(node, names(rule->reads), report);
        switch (rule->kind) {
            case ElementKind::Include: include(node); break;
            case ElementKind::If: test(node); break;
            case ElementKind::When:
            case ElementKind::Otherwise:
                if (!in_choose)
                    report.warning(node.at, node.tag + " outside choose is always included");
                else if (rule->kind == ElementKind::When)
                    test(node);
                break;
            case ElementKind::Choose: choose(node); return;
            case ElementKind::Foreach: foreach (node); return;
            default: break;
        }
        body(node);
    }

    void test(const Node& node) {
        const std::string* test = node.attribute(name_of(Attribute::Test));
        if (!test) {
            m_.report.error(node.at, node.tag + " without 'test'");
            return;
        }
        std::string problem = compile_problem(*test);
        if (!problem.empty())
            m_.report.error(node.at, node.tag + " test " + quoted(*test) + " does not compile: " + problem);
    }

    void include(const Node& node) {
        const std::string* refid = node.attribute(name_of(Attribute::Refid));
        if (!refid) {
            m_.report.error(node.at, "include without 'refid'");
            return;
        }
        auto target = m_.by_id.find(*refid);
        if (target == m_.by_id.end())
            m_.report.error(node.at, "include refid " + quoted(*refid) + " not found");
        else if (const std::string& tag = m_.doc.nodes[target->second].tag; tag != tag_of(mapper::StatementKind::Sql))
            m_.report.error(node.at, "include refid " + quoted(*refid) + " names a " + tag + ", not an sql fragment");
    }

    // Only when and otherwise children are evaluated; the first true when, else the otherwise.
    void choose(const Node& node) {
        check_markers(node.text, items_, m_.report);
        bool any_when = false, any_otherwise = false;
        for (size_t index : node.children) {
            const Node& child = m_.doc.nodes[index];
            bool when = child.tag == tag_of(ElementKind::When);
            if (when || child.tag == tag_of(ElementKind::Otherwise)) {
                (when ? any_when : any_otherwise) = true;
                element(child, true);
            } else {
                m_.report.error(child.at,
                                quoted(child.tag) + " inside choose is never evaluated: only when and otherwise are");
            }
            check_markers(child.tail, items_, m_.report);
        }
        if (any_otherwise) return;
        if (any_when)
            m_.report.warning(node.at, "choose without otherwise fails when no when holds");
        else
            m_.report.error(node.at, "choose without when or otherwise always fails");
    }

    void foreach (const Node& node) {
        mapper::rule_of(ElementKind::Foreach).reads.each([&](Attribute a) {
            if (!node.attribute(name_of(a))) m_.report.error(node.at, "foreach without " + quoted(name_of(a)));
        });
        const std::string* collection = node.attribute(name_of(Attribute::Collection));
        if (collection && !plain_name(*collection))
            m_.report.error(node.at, "foreach collection " + quoted(*collection) + " is not a plain parameter name");
        // The body's "#{ITEM}" markers become "#{COLLECTION_for_index_N}".
        const std::string* item = node.attribute(name_of(Attribute::Item));
        if (item) items_.push_back(*item);
        body(node);
        if (item) items_.pop_back();
    }

    const Mapper& m_;
    std::vector<std::string> items_;  // the item names of the enclosing foreach elements
    uintptr_t floor_ = stack_floor();
    long depth_ = 0;
    bool too_deep_ = false;
};

}  // namespace

void check_body(const Mapper& mapper, size_t statement) { Walk(mapper).body(mapper.doc.nodes[statement]); }

}  // namespace velmo::checker
