#include "sim/triggers.h"

#include <algorithm>
#include <numeric>

namespace kestrin::sim {

Triggers::Triggers(const std::vector<Rule>& rules)
    : triggerOfRule_(rules.size(), none), retired_(rules.size(), false)
{
    // The rules with a trigger, sorted by it; equal triggers keep the
    // listed order, and become one trigger with several rules.
    std::vector<std::uint32_t> order;
    for (std::size_t i = 0; i < rules.size(); ++i) {
        if (!rules[i].trigger.empty()) {
            order.push_back(static_cast<std::uint32_t>(i));
        }
    }
    std::stable_sort(order.begin(), order.end(),
                     [&](std::uint32_t a, std::uint32_t b) { return rules[a].trigger < rules[b].trigger; });

    // The trie from the sorted triggers: each shares its first bytes with
    // the one before, so new nodes hang off one path, and each node's
    // children come in the order of their bytes.
    struct Edge {
        Node from;
        std::uint8_t byte;
    };
    std::vector<Edge> edges; // edge i leads to node i + 1
    std::vector<std::uint32_t> terminal{none};
    std::vector<Node> path{0};
    const Bytes* previous = nullptr;
    for (const std::uint32_t rule : order) {
        const Bytes& trigger = rules[rule].trigger;
        if (previous == nullptr || trigger != *previous) {
            std::size_t shared = 0;
            if (previous != nullptr) {
                const auto differ = std::mismatch(trigger.begin(), trigger.end(), previous->begin(), previous->end());
                shared = static_cast<std::size_t>(differ.first - trigger.begin());
            }
            path.resize(shared + 1);
            for (std::size_t i = shared; i < trigger.size(); ++i) {
                edges.push_back({path.back(), trigger[i]});
                terminal.push_back(none);
                path.push_back(static_cast<Node>(edges.size()));
            }
            terminal[path.back()] = static_cast<std::uint32_t>(ruleStart_.size());
            ruleStart_.push_back(static_cast<std::uint32_t>(rules_.size()));
            previous = &trigger;
        }
        triggerOfRule_[rule] = static_cast<std::uint32_t>(ruleStart_.size() - 1);
        rules_.push_back(rule);
    }
    ruleStart_.push_back(static_cast<std::uint32_t>(rules_.size()));
    head_.assign(ruleStart_.size() - 1, 0);
    for (std::size_t t = 0; t + 1 < ruleStart_.size(); ++t) {
        head_[t] = ruleStart_[t];
    }
    triggerOf_ = std::move(terminal);

    // Each node's edges together, in byte order (a stable counting sort).
    const std::size_t nodes = edges.size() + 1;
    edgeStart_.assign(nodes + 1, 0);
    for (const Edge& edge : edges) {
        ++edgeStart_[edge.from + 1];
    }
    std::partial_sum(edgeStart_.begin(), edgeStart_.end(), edgeStart_.begin());
    edgeByte_.resize(edges.size());
    edgeTo_.resize(edges.size());
    std::vector<std::uint32_t> filled(edgeStart_.begin(), edgeStart_.end() - 1);
    for (std::size_t i = 0; i < edges.size(); ++i) {
        const std::uint32_t at = filled[edges[i].from]++;
        edgeByte_[at] = edges[i].byte;
        edgeTo_[at] = static_cast<Node>(i + 1);
    }

    // Failure links breadth first: the longest proper suffix of a node's
    // bytes that is also in the trie; and the chain of triggers along them.
    fail_.assign(nodes, 0);
    output_.assign(nodes, none);
    nextOutput_.assign(nodes, none);
    std::vector<Node> queue{0};
    for (std::size_t next = 0; next < queue.size(); ++next) {
        const Node node = queue[next];
        for (std::uint32_t e = edgeStart_[node]; e < edgeStart_[node + 1]; ++e) {
            const Node to = edgeTo_[e];
            Node fail = 0;
            if (node != 0) {
                Node f = fail_[node];
                for (;;) {
                    const Node c = child(f, edgeByte_[e]);
                    if (c != none) {
                        fail = c;
                        break;
                    }
                    if (f == 0) {
                        break;
                    }
                    f = fail_[f];
                }
            }
            fail_[to] = fail;
            nextOutput_[to] = output_[fail];
            output_[to] = triggerOf_[to] != none ? to : output_[fail];
            queue.push_back(to);
        }
    }
}

Triggers::Node Triggers::child(Node node, std::uint8_t byte) const
{
    const auto first = edgeByte_.begin() + edgeStart_[node];
    const auto last = edgeByte_.begin() + edgeStart_[node + 1];
    const auto at = std::lower_bound(first, last, byte);
    return at != last && *at == byte ? edgeTo_[static_cast<std::size_t>(at - edgeByte_.begin())] : none;
}

bool Triggers::answers(Node node) const
{
    const std::uint32_t trigger = triggerOf_[node];
    return head_[trigger] < ruleStart_[trigger + 1];
}

std::size_t Triggers::firstRule(Node node) const
{
    return rules_[head_[triggerOf_[node]]];
}

Triggers::Node Triggers::skipRetired(Node node)
{
    Node found = node;
    while (found != none && !answers(found)) {
        found = nextOutput_[found];
    }
    // A trigger no rule answers never answers again: the ones passed over
    // are skipped for good, so that a long chain of them is walked once.
    while (node != found) {
        const Node next = nextOutput_[node];
        nextOutput_[node] = found;
        node = next;
    }
    return found;
}

std::optional<std::size_t> Triggers::feed(std::uint8_t byte)
{
    Node node = state_;
    for (;;) {
        const Node next = child(node, byte);
        if (next != none) {
            node = next;
            break;
        }
        if (node == 0) {
            break;
        }
        node = fail_[node];
    }
    state_ = node;
    Node ending = output_[node] = skipRetired(output_[node]);
    if (ending == none) {
        return std::nullopt;
    }
    // Every trigger on the chain ends here: the first listed rule wins. The
    // chain is no longer than the bytes since the last answer, so the walk
    // costs no more than they did.
    std::size_t best = firstRule(ending);
    for (;;) {
        const Node next = nextOutput_[ending] = skipRetired(nextOutput_[ending]);
        if (next == none) {
            break;
        }
        best = std::min(best, firstRule(next));
        ending = next;
    }
    state_ = 0;
    return best;
}

void Triggers::retire(std::size_t rule)
{
    retired_[rule] = true;
    const std::uint32_t trigger = triggerOfRule_[rule];
    if (trigger == none) {
        return;
    }
    while (head_[trigger] < ruleStart_[trigger + 1] && retired_[rules_[head_[trigger]]]) {
        ++head_[trigger];
    }
}

} // namespace kestrin::sim
