#include "sim/model.h"

#include <algorithm>

namespace kestrin::sim {

namespace {

// What the sim remembers of unanswered input: enough for any trigger, and
// bounded however much noise the host sends.
const std::size_t heardLimit = 4096;

std::uint64_t copyLength(const Rule& rule)
{
    // A copy sent byte by byte takes a gap per byte; the next one follows on.
    return rule.gapMs * rule.text.size();
}

} // namespace

Model::Model(std::vector<Rule> rules, std::uint64_t startMs)
{
    for (auto& rule : rules) {
        RuleState state{std::move(rule)};
        state.nextSendMs = startMs + state.rule.afterMs;
        if (state.rule.kind == Rule::Kind::hangup && state.rule.trigger.empty()) {
            outputs_.emplace(state.nextSendMs, Output{{}, false, true});
        }
        rules_.push_back(std::move(state));
    }
}

void Model::receive(const std::uint8_t* bytes, std::size_t count, std::uint64_t nowMs)
{
    heard_.insert(heard_.end(), bytes, bytes + count);
    for (;;) {
        // The trigger that ends earliest in what was heard wins; the first
        // listed rule on a tie.
        RuleState* best = nullptr;
        std::size_t bestEnd = 0;
        for (auto& state : rules_) {
            const Rule& rule = state.rule;
            if (rule.trigger.empty() || (rule.times != 0 && state.used >= rule.times)) {
                continue;
            }
            const auto at = std::search(heard_.begin(), heard_.end(), rule.trigger.begin(), rule.trigger.end());
            if (at == heard_.end()) {
                continue;
            }
            const auto end = static_cast<std::size_t>(at - heard_.begin()) + rule.trigger.size();
            if (best == nullptr || end < bestEnd) {
                best = &state;
                bestEnd = end;
            }
        }
        if (best == nullptr) {
            break;
        }
        heard_.erase(heard_.begin(), heard_.begin() + static_cast<std::ptrdiff_t>(bestEnd));
        ++best->used;
        if (best->rule.kind == Rule::Kind::silent) {
            outputs_.emplace(nowMs, Output{{}, true});
        } else if (best->rule.kind == Rule::Kind::hangup) {
            outputs_.emplace(nowMs + best->rule.afterMs, Output{{}, true, true});
        } else {
            schedule(best->rule, nowMs + best->rule.afterMs, true);
        }
    }
    if (heard_.size() > heardLimit) {
        heard_.erase(heard_.begin(), heard_.end() - static_cast<std::ptrdiff_t>(heardLimit));
    }
}

void Model::schedule(const Rule& rule, std::uint64_t startMs, bool endsRound)
{
    const std::uint64_t period = rule.everyMs != 0 ? rule.everyMs : copyLength(rule);
    const std::uint64_t copies = rule.repeat == 0 ? 1 : rule.repeat;
    for (std::uint64_t copy = 0; copy < copies; ++copy) {
        const std::uint64_t copyStart = startMs + copy * period;
        const bool last = copy + 1 == copies;
        if (rule.gapMs == 0) {
            outputs_.emplace(copyStart, Output{rule.text, endsRound && last});
            continue;
        }
        for (std::size_t i = 0; i < rule.text.size(); ++i) {
            outputs_.emplace(copyStart + i * rule.gapMs,
                             Output{{rule.text[i]}, endsRound && last && i + 1 == rule.text.size()});
        }
    }
}

bool Model::sendPending(const RuleState& state) const
{
    return state.rule.kind == Rule::Kind::send && (state.rule.repeat == 0 || state.sent < state.rule.repeat);
}

void Model::scheduleSends(std::uint64_t nowMs)
{
    // Unprompted copies are scheduled as their time comes, so that one sent
    // forever never fills the queue.
    for (auto& state : rules_) {
        while (sendPending(state) && state.nextSendMs <= nowMs) {
            Rule one = state.rule;
            one.repeat = 1;
            schedule(one, state.nextSendMs, false);
            ++state.sent;
            state.nextSendMs += state.rule.everyMs != 0 ? state.rule.everyMs : copyLength(state.rule);
        }
    }
}

Bytes Model::takeDue(std::uint64_t nowMs)
{
    scheduleSends(nowMs);
    Bytes due;
    while (!hungUp_ && !outputs_.empty() && outputs_.begin()->first <= nowMs) {
        const Output& out = outputs_.begin()->second;
        due.insert(due.end(), out.bytes.begin(), out.bytes.end());
        if (out.endsRound) {
            ++rounds_;
        }
        hungUp_ = out.hangup;
        outputs_.erase(outputs_.begin());
    }
    return due;
}

std::optional<std::uint64_t> Model::nextDueMs() const
{
    std::optional<std::uint64_t> next;
    if (!outputs_.empty()) {
        next = outputs_.begin()->first;
    }
    for (const auto& state : rules_) {
        if (sendPending(state) && (!next || state.nextSendMs < *next)) {
            next = state.nextSendMs;
        }
    }
    return next;
}

} // namespace kestrin::sim
