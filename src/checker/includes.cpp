// Include cycles.
//
// Evaluating an include evaluates the fragment it names, so a fragment that reaches itself
// through includes never ends (at run time: RecursionError). Only sql fragments can take part:
// an include of any other statement fails at once, which body.cpp reports. A depth-first search
// over the fragments in document order reports each include that closes a cycle, with the path.
#include <algorithm>
#include <unordered_map>

#include "checker.hpp"

namespace velmo::checker {

using namespace velmo::rt;

namespace {

class Cycles {
public:
    explicit Cycles(const Mapper& mapper) : m_(mapper) {}

    void visit(size_t fragment) {
        RecursionGuard guard(" while checking include cycles");
        state_[fragment] = Visiting;
        path_.push_back(fragment);
        std::vector<size_t> includes;
        collect(m_.doc.nodes[fragment], includes);
        for (size_t include : includes) {
            size_t target = m_.by_id.at(*m_.doc.nodes[include].attribute("refid"));
            auto seen = state_.find(target);
            if (seen == state_.end())
                visit(target);
            else if (seen->second == Visiting)
                report(include, target);
        }
        path_.pop_back();
        state_[fragment] = Done;
    }

    bool seen(size_t fragment) const { return state_.count(fragment) != 0; }

private:
    enum Mark { Visiting, Done };

    // The includes below `node` that name an sql fragment, in document order.
    void collect(const Node& node, std::vector<size_t>& out) {
        RecursionGuard guard(" while checking include cycles");
        for (size_t index : node.children) {
            const Node& child = m_.doc.nodes[index];
            if (child.tag == "include") {
                const std::string* refid = child.attribute("refid");
                auto target = refid ? m_.by_id.find(*refid) : m_.by_id.end();
                if (target != m_.by_id.end() && m_.doc.nodes[target->second].tag == "sql") out.push_back(index);
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
};

}  // namespace

void check_include_cycles(const Mapper& mapper) {
    Cycles cycles(mapper);
    for (size_t index : mapper.statements) {
        const Node& node = mapper.doc.nodes[index];
        const std::string* id = node.attribute("id");
        // The fragment that loading keeps under its id (a later duplicate wins).
        if (node.tag == "sql" && id && mapper.by_id.at(*id) == index && !cycles.seen(index)) cycles.visit(index);
    }
}

}  // namespace velmo::checker
