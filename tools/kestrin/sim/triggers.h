// The triggers of a script as one automaton (Aho-Corasick), built once:
// each byte that comes in is looked at once, however many rules there are,
// and the sim keeps no input, only where it stands in the automaton.
#ifndef KESTRIN_TOOL_SIM_TRIGGERS_H
#define KESTRIN_TOOL_SIM_TRIGGERS_H

#include "sim/script.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace kestrin::sim {

class Triggers {
public:
    // The rules' triggers; rules without one are left out.
    explicit Triggers(const std::vector<Rule>& rules);

    // The next byte from the host. When triggers end with it, the rule that
    // answers: the first listed one still answering among them (all end at
    // this byte, so the earliest end is always this one). The search then
    // starts afresh after it, as the bytes are used up.
    std::optional<std::size_t> feed(std::uint8_t byte);

    // The rule answers no more (its times are used up); its trigger is left
    // to the next rule listed with it, if any.
    void retire(std::size_t rule);

    // Forgets the input so far.
    void reset() { state_ = 0; }

private:
    using Node = std::uint32_t;
    static constexpr Node none = UINT32_MAX;

    Node child(Node node, std::uint8_t byte) const;
    bool answers(Node node) const;
    std::size_t firstRule(Node node) const;
    Node skipRetired(Node node);

    // The trie, its edges sorted by byte per node: node n's are
    // [edgeStart_[n], edgeStart_[n + 1]).
    std::vector<std::uint32_t> edgeStart_;
    std::vector<std::uint8_t> edgeByte_;
    std::vector<Node> edgeTo_;
    std::vector<Node> fail_;
    // The first node on the node's chain of suffixes (itself included) that
    // ends a trigger still answered: found lazily, as rules retire for good.
    std::vector<Node> output_;
    // For a node that ends a trigger: the next one on its chain after it.
    std::vector<Node> nextOutput_;
    std::vector<std::uint32_t> triggerOf_; // per node, or none
    // Per trigger: its rules in listed order, [ruleStart_[t], ruleStart_[t + 1])
    // of rules_, and the first of them still answering.
    std::vector<std::uint32_t> ruleStart_;
    std::vector<std::uint32_t> rules_;
    std::vector<std::uint32_t> head_;
    std::vector<std::uint32_t> triggerOfRule_; // per rule, or none
    std::vector<bool> retired_;
    Node state_ = 0;
};

} // namespace kestrin::sim

#endif
