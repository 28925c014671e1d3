// Include cycles, and includes that expand beyond what evaluation allows.
//
// Evaluating an include evaluates the fragment it names, so a fragment that reaches itself
// through includes never ends (at run time: RecursionError). Only sql fragments can take part:
// an include of any other statement fails at once, which body.cpp reports. A depth-first search
// over the fragments in document order reports each include that closes a cycle, with the path.
//
// A fragment that includes another twice, which includes another twice, ... doubles its text
// at each step: evaluation refuses a statement that would make more than expanded_text_limit
// characters (MemoryError). The expansion of each fragment is estimated without recursion: its
// own text, tails and attributes, a share per element, and what its includes expand to; a
// foreach counts once, its collection being unknown here.
#include <algorithm>
#include <unordered_map>

#include "../mapper/elements.hpp"
#include "checker.hpp"

namespace velmo::checker {

using namespace velmo::rt;
using mapper::Attribute;
using mapper::ElementKind;
using mapper::name_of;
using mapper::StatementKind;
using mapper::tag_of;

namespace {

class Cycles {
public:
    explicit Cycles(const Mapper& mapper) : m_(mapper) {}

    // A chain of includes, or elements nested in a fragment, deeper than the recursion limit
    // allows fails evaluation with RecursionError: reported once, where the check ran out.
    void visit(size_t fragment, size_t via) {
        if (too_deep_) return;
        try {
            RecursionGuard guard(" while checking include cycles");
            check_stack(floor_, "maximum recursion depth exceeded while checking include cycles");
            visit_includes(fragment);
        } catch (const PyErrorSet&) {
            if (too_deep_ || !PyErr_ExceptionMatches(PyExc_RecursionError)) throw;
            PyErr_Clear();
            too_deep_ = true;
            m_.report.error(m_.doc.nodes[via].at,
                            "includes or elements nested deeper than the recursion limit "
                            "allows (" +
                                std::to_string(path_.size()) +
                                " fragments deep): evaluating the statement raises RecursionError");
        }
    }

    bool seen(size_t fragment) const { return state_.count(fragment) != 0; }

private:
    enum Mark { Visiting, Done };

    void visit_includes(size_t fragment) {
        state_[fragment] = Visiting;
        path_.push_back(fragment);
        std::vector<size_t> includes;
        collect(m_.doc.nodes[fragment], includes);
        for (size_t include : includes) {
            size_t target = m_.by_id.at(*m_.doc.nodes[include].attribute(name_of(Attribute::Refid)));
            auto seen = state_.find(target);
            if (seen == state_.end())
                visit(target, include);
            else if (seen->second == Visiting)
                report(include, target);
        }
        path_.pop_back();
        state_[fragment] = Done;
    }

    // The includes below `node` that name an sql fragment, in document order.
    void collect(const Node& node, std::vector<size_t>& out) {
        RecursionGuard guard(" while checking include cycles");
        for (size_t index : node.children) {
            const Node& child = m_.doc.nodes[index];
            if (child.tag == tag_of(ElementKind::Include)) {
                const std::string* refid = child.attribute(name_of(Attribute::Refid));
                auto target = refid ? m_.by_id.find(*refid) : m_.by_id.end();
                if (target != m_.by_id.end() && m_.doc.nodes[target->second].tag == tag_of(StatementKind::Sql))
                    out.push_back(index);
            }
            collect(child, out);
        }
    }

    void report(size_t include, size_t target) {
        std::string cycle;
        auto from = std::find(path_.begin(), path_.end(), target);
        for (auto it = from; it != path_.end(); ++it) cycle += *m_.doc.nodes[*it].attribute("id") + " -> ";
        cycle += *m_.doc.nodes[target].attribute("id");
        m_.report.error(m_.doc.nodes[include].at, "include cycle: " + cycle);
    }

    const Mapper& m_;
    std::unordered_map<size_t, Mark> state_;
    std::vector<size_t> path_;  // the fragments being visited, outermost first
    uintptr_t floor_ = stack_floor();
    bool too_deep_ = false;
};

constexpr double expanded_text_limit = double(mapper::expanded_text_limit);
constexpr double element_share = double(mapper::element_share);

class Expansion {
public:
    explicit Expansion(const Mapper& mapper) : m_(mapper), size_(mapper.doc.nodes.size(), -1) {}

    // The characters the fragment `fragment` expands to (saturating far above the limit).
    double of(size_t fragment) {
        // An explicit stack: include chains may be longer than any native recursion.
        std::vector<size_t> stack{fragment};
        while (!stack.empty()) {
            size_t f = stack.back();
            if (size_[f] >= 0) {
                stack.pop_back();
                continue;
            }
            Shape& shape = shape_of(f);
            bool ready = true;
            if (!shape.entered) {
                shape.entered = true;
                for (size_t target : shape.targets)
                    if (size_[target] < 0 && !entered(target)) {
                        stack.push_back(target);
                        ready = false;
                    }
                if (!ready) continue;
            }
            // A target still being entered closes a cycle (reported as such): it counts nothing.
            double total = shape.own;
            for (size_t target : shape.targets) total += element_share + std::max(size_[target], 0.0);
            size_[f] = std::min(total, 1e300);
            stack.pop_back();
        }
        return size_[fragment];
    }

    // The include elements below `node` (not through other includes) and their targets.
    std::vector<std::pair<size_t, size_t>> includes_below(size_t node) const {
        std::vector<std::pair<size_t, size_t>> out;
        for (size_t k = node + 1; k < subtree_end(node); ++k)
            if (size_t target = target_of(k); target != none) out.emplace_back(k, target);
        return out;
    }

private:
    static constexpr size_t none = static_cast<size_t>(-1);

    struct Shape {
        double own = 0;
        std::vector<size_t> targets;
        bool entered = false;
    };

    bool entered(size_t fragment) const {
        auto it = shapes_.find(fragment);
        return it != shapes_.end() && it->second.entered;
    }

    // One past the last descendant of `node`: the nodes are in document order.
    size_t subtree_end(size_t node) const {
        while (!m_.doc.nodes[node].children.empty()) node = m_.doc.nodes[node].children.back();
        return node + 1;
    }

    // The sql fragment an include names, or none.
    size_t target_of(size_t k) const {
        const Node& node = m_.doc.nodes[k];
        if (node.tag != tag_of(ElementKind::Include)) return none;
        const std::string* refid = node.attribute(name_of(Attribute::Refid));
        auto target = refid ? m_.by_id.find(*refid) : m_.by_id.end();
        if (target == m_.by_id.end() || m_.doc.nodes[target->second].tag != tag_of(StatementKind::Sql)) return none;
        return target->second;
    }

    double attribute_length(const Node& node, std::string_view name) const {
        const std::string* value = node.attribute(name);
        return value ? double(value->size()) : 0;
    }

    Shape& shape_of(size_t fragment) {
        auto [it, fresh] = shapes_.try_emplace(fragment);
        if (!fresh) return it->second;
        Shape& shape = it->second;
        shape.own = double(m_.doc.nodes[fragment].text.chars.size());
        for (size_t k = fragment + 1; k < subtree_end(fragment); ++k) {
            const Node& node = m_.doc.nodes[k];
            shape.own += element_share + double(node.text.chars.size() + node.tail.chars.size());
            mapper::added_attributes.each([&](Attribute a) { shape.own += attribute_length(node, name_of(a)); });
            if (size_t target = target_of(k); target != none) shape.targets.push_back(target);
        }
        return shape;
    }

    const Mapper& m_;
    std::vector<double> size_;  // per node; -1 while unknown
    std::unordered_map<size_t, Shape> shapes_;
};

}  // namespace

void check_include_expansion(const Mapper& mapper) {
    Expansion expansion(mapper);
    std::string limit = std::to_string(static_cast<long long>(expanded_text_limit));
    for (size_t index : mapper.statements) {
        const Node& node = mapper.doc.nodes[index];
        if (node.tag == tag_of(StatementKind::Sql)) continue;  // evaluated where it is included
        bool reported = false;
        for (auto [include, target] : expansion.includes_below(index)) {
            if (expansion.of(target) <= expanded_text_limit) continue;
            mapper.report.error(mapper.doc.nodes[include].at,
                                "include refid " +
                                    quoted(*mapper.doc.nodes[include].attribute(name_of(Attribute::Refid))) +
                                    " expands to more than " + limit +
                                    " characters (fragments that include others more than once multiply their "
                                    "text): evaluating the statement raises MemoryError");
            reported = true;
        }
        if (!reported && expansion.of(index) > expanded_text_limit)
            mapper.report.error(
                node.at, node.tag + " expands to more than " + limit + " characters: evaluating it raises MemoryError");
    }
}

void check_include_cycles(const Mapper& mapper) {
    Cycles cycles(mapper);
    for (size_t index : mapper.statements) {
        const Node& node = mapper.doc.nodes[index];
        const std::string* id = node.attribute("id");
        // The fragment that loading keeps under its id (a later duplicate wins).
        if (node.tag == tag_of(StatementKind::Sql) && id && mapper.by_id.at(*id) == index && !cycles.seen(index))
            cycles.visit(index, index);
    }
}

}  // namespace velmo::checker
