// The sim's behaviour, apart from any port or clock: bytes come in with the
// time they arrived, and the model says which bytes are due out by a given
// time. The pseudo-terminal loop drives it on the real clock; tests drive it
// on a virtual one.
#ifndef KESTRIN_TOOL_SIM_MODEL_H
#define KESTRIN_TOOL_SIM_MODEL_H

#include "sim/script.h"

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

namespace kestrin::sim {

class Model {
public:
    Model(std::vector<Rule> rules, std::uint64_t startMs);

    // Bytes from the host, at `nowMs`. Triggers found among them schedule
    // their answers.
    void receive(const std::uint8_t* bytes, std::size_t count, std::uint64_t nowMs);

    // Everything due by `nowMs`, in the order it is due.
    Bytes takeDue(std::uint64_t nowMs);

    // When the next byte is due, if any is scheduled.
    std::optional<std::uint64_t> nextDueMs() const;

    // Triggers answered, counted once the whole answer has been taken.
    std::uint64_t rounds() const { return rounds_; }

    // Whether a hangup has come due: the device is gone, and nothing after
    // it is ever taken.
    bool hungUp() const { return hungUp_; }

private:
    struct Output {
        Bytes bytes;
        bool endsRound = false;
        bool hangup = false;
    };
    struct RuleState {
        Rule rule;
        std::uint64_t used = 0;       // triggers answered
        std::uint64_t nextSendMs = 0; // send rules: the next copy's start
        std::uint64_t sent = 0;       // send rules: copies scheduled
    };

    void schedule(const Rule& rule, std::uint64_t startMs, bool endsRound);
    void scheduleSends(std::uint64_t nowMs);
    bool sendPending(const RuleState& state) const;

    std::vector<RuleState> rules_;
    std::multimap<std::uint64_t, Output> outputs_;
    Bytes heard_;
    std::uint64_t rounds_ = 0;
    bool hungUp_ = false;
};

} // namespace kestrin::sim

#endif
