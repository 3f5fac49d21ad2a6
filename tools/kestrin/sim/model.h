// The sim's behaviour, apart from any port or clock: bytes come in with the
// time they arrived, and the model says which bytes are due out by a given
// time. The pseudo-terminal loop drives it on the real clock; tests drive it
// on a virtual one.
//
// Answers are kept as what to send, not as bytes: which rule, which copy,
// which byte next. Their bytes are made as they are taken, so that an answer
// repeated millions of times costs no more than one.
#ifndef KESTRIN_TOOL_SIM_MODEL_H
#define KESTRIN_TOOL_SIM_MODEL_H

#include "base/random.h"
#include "sim/script.h"
#include "sim/triggers.h"

#include <cstdint>
#include <limits>
#include <optional>
#include <queue>
#include <vector>

namespace kestrin::sim {

class Model {
public:
    // Every random choice (chance, corrupt) comes from `seed`: the same
    // seed and the same input give the same answers.
    Model(std::vector<Rule> rules, std::uint64_t startMs, std::uint64_t seed = 0);

    // Bytes from the host, at `nowMs`. Triggers found among them schedule
    // their answers. Ignored while the device is away or gone.
    void receive(const std::uint8_t* bytes, std::size_t count, std::uint64_t nowMs);

    // What is due by `nowMs`, in the order it is due, `limit` bytes at most;
    // the rest stays due. A vanish ends what is taken, so that nothing due
    // after it goes to the port that went away.
    Bytes takeDue(std::uint64_t nowMs, std::size_t limit = std::numeric_limits<std::size_t>::max());

    // Everything due by `nowMs` and not taken is lost, as on a line whose
    // host does not read: the host's input queue was full.
    void dropDue(std::uint64_t nowMs);

    // When the next byte (or the end of an absence) is due, if any is.
    std::optional<std::uint64_t> nextDueMs() const;

    // Triggers answered or swallowed, counted once the whole answer has
    // been taken (or lost).
    std::uint64_t rounds() const { return rounds_; }

    // Whether a hangup has come due: the device is gone, and nothing after
    // it is ever taken.
    bool hungUp() const { return hungUp_; }

    // Vanishes so far, and whether the device is away now: what comes due
    // while it is away is lost, and it hears nothing.
    std::uint64_t vanishes() const { return vanishes_; }
    bool away() const { return away_; }

    // Answers waiting or being sent.
    std::size_t pending() const { return answers_.size(); }

    // Answers kept at most: a trigger that comes when this many wait is
    // lost, like a command a busy device has no room for.
    static constexpr std::size_t pendingLimit = 65536;

private:
    enum class Event : std::uint8_t { bytes, round, hangup, vanish };
    struct Answer {
        std::uint64_t dueMs = 0; // of the next byte, or of the event
        std::uint64_t order = 0; // made earlier goes first on a tie
        std::uint32_t rule = 0;
        Event event = Event::bytes;
        bool endsRound = false;
        std::uint64_t startMs = 0; // of the first copy
        std::uint64_t copy = 0;
        std::size_t byte = 0;      // next in the copy
        std::uint64_t seed = 0;    // of this answer's corruption
        Random random;             // this copy's
        std::uint64_t changed = 0; // bytes of this copy corrupted so far
    };
    struct Later {
        bool operator()(const Answer& a, const Answer& b) const
        {
            return a.dueMs != b.dueMs ? a.dueMs > b.dueMs : a.order > b.order;
        }
    };

    void answer(std::size_t rule, std::uint64_t nowMs);
    void add(Answer answer);
    void advance(std::uint64_t nowMs, Bytes* out, std::size_t limit);
    bool play(Answer& answer, std::uint64_t horizonMs, Bytes* out, std::size_t limit);
    bool finishEvent(const Answer& answer);
    std::uint8_t nextByte(Answer& answer);
    bool stepByte(Answer& answer);
    void startCopy(Answer& answer, std::uint64_t copy);
    bool skipUntil(Answer& answer, std::uint64_t horizonMs);
    std::uint64_t period(const Rule& rule) const;

    // A reply's pieces after `then` are rules of their own, listed after
    // the script's, with no trigger: each piece is played as an answer.
    void addPieces(std::size_t rule, std::uint64_t startMs, bool endsRound);
    std::uint64_t span(const Rule& rule) const;

    struct RuleState {
        Rule rule;
        std::uint64_t used = 0;       // triggers answered
        std::uint32_t firstPiece = 0; // in rules_, its `then` pieces
    };
    std::vector<RuleState> rules_;
    Triggers triggers_;
    Random random_;
    std::priority_queue<Answer, std::vector<Answer>, Later> answers_;
    std::uint64_t made_ = 0;
    std::uint64_t rounds_ = 0;
    bool hungUp_ = false;
    bool away_ = false;
    std::uint64_t awayUntilMs_ = 0;
    std::uint64_t vanishes_ = 0;
};

} // namespace kestrin::sim

#endif
