#include "sim/model.h"

#include <algorithm>

namespace kestrin::sim {

Model::Model(std::vector<Rule> rules, std::uint64_t startMs, std::uint64_t seed) : triggers_(rules), random_(seed)
{
    const std::size_t listed = rules.size();
    for (auto& rule : rules) {
        rules_.push_back(RuleState{std::move(rule)});
    }
    for (std::size_t i = 0; i < listed; ++i) {
        rules_[i].firstPiece = static_cast<std::uint32_t>(rules_.size());
        for (const Rule::Piece& piece : rules_[i].rule.then) {
            Rule part;
            part.text = piece.text;
            part.afterMs = piece.afterMs;
            rules_.push_back(RuleState{std::move(part)});
        }
    }
    for (std::size_t i = 0; i < listed; ++i) {
        const Rule& rule = rules_[i].rule;
        if (rule.kind == Rule::Kind::send || (rule.kind == Rule::Kind::hangup && rule.trigger.empty())) {
            Answer unprompted;
            unprompted.rule = static_cast<std::uint32_t>(i);
            unprompted.event = rule.kind == Rule::Kind::send ? Event::bytes : Event::hangup;
            unprompted.dueMs = startMs + rule.afterMs;
            add(unprompted);
            addPieces(i, unprompted.dueMs, false);
        }
    }
}

// From the first byte of the first copy to the last byte of the last.
std::uint64_t Model::span(const Rule& rule) const
{
    return (rule.repeat - 1) * period(rule) + rule.gapMs * (rule.text.size() - 1);
}

void Model::addPieces(std::size_t rule, std::uint64_t startMs, bool endsRound)
{
    const RuleState& state = rules_[rule];
    std::uint64_t dueMs = startMs + span(state.rule);
    for (std::size_t i = 0; i < state.rule.then.size(); ++i) {
        Answer piece;
        piece.rule = state.firstPiece + static_cast<std::uint32_t>(i);
        piece.event = Event::bytes;
        dueMs += state.rule.then[i].afterMs;
        piece.dueMs = dueMs;
        // The round is over with the answer's last piece.
        piece.endsRound = endsRound && i + 1 == state.rule.then.size();
        add(piece);
    }
}

void Model::receive(const std::uint8_t* bytes, std::size_t count, std::uint64_t nowMs)
{
    if (hungUp_ || away_) {
        return;
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (const auto rule = triggers_.feed(bytes[i])) {
            answer(*rule, nowMs);
        }
    }
}

void Model::answer(std::size_t rule, std::uint64_t nowMs)
{
    if (answers_.size() >= pendingLimit) {
        return;
    }
    RuleState& state = rules_[rule];
    Answer a;
    a.rule = static_cast<std::uint32_t>(rule);
    a.endsRound = true;
    a.dueMs = nowMs;
    a.event = Event::round;
    // A trigger left to chance and missed is swallowed, and is not one of
    // the rule's times.
    const bool missed =
        state.rule.chance < Rule::chanceAlways && random_.below(Rule::chanceAlways) >= state.rule.chance;
    if (!missed) {
        ++state.used;
        if (state.used == state.rule.times) {
            triggers_.retire(rule);
        }
        switch (state.rule.kind) {
        case Rule::Kind::reply:
            a.event = Event::bytes;
            a.dueMs = nowMs + state.rule.afterMs;
            a.endsRound = state.rule.then.empty();
            break;
        case Rule::Kind::hangup:
            a.event = Event::hangup;
            a.dueMs = nowMs + state.rule.afterMs;
            break;
        case Rule::Kind::vanish:
            a.event = Event::vanish;
            a.dueMs = nowMs + state.rule.afterMs;
            break;
        case Rule::Kind::silent:
        case Rule::Kind::send:
            break;
        }
    }
    add(a);
    if (!missed && state.rule.kind == Rule::Kind::reply) {
        addPieces(rule, a.dueMs, true);
    }
}

void Model::add(Answer answer)
{
    answer.order = made_++;
    if (answer.event == Event::bytes) {
        answer.startMs = answer.dueMs;
        // Drawn only for a rule that corrupts, so that the other rules'
        // choices stay as they were without it.
        answer.seed = rules_[answer.rule].rule.corrupt > 0 ? random_.next() : 0;
        startCopy(answer, 0);
    }
    answers_.push(answer);
}

std::uint64_t Model::period(const Rule& rule) const
{
    // Copies never overlap: one that would start before the last ended
    // follows it instead.
    return std::max<std::uint64_t>(rule.everyMs, rule.gapMs * rule.text.size());
}

void Model::startCopy(Answer& answer, std::uint64_t copy)
{
    const Rule& rule = rules_[answer.rule].rule;
    answer.copy = copy;
    answer.byte = 0;
    answer.changed = 0;
    answer.random = Random::derived(answer.seed, copy);
    answer.dueMs = answer.startMs + copy * period(rule);
}

// The next byte of a copy, corrupted if chosen: each byte is chosen with the
// chance that leaves exactly the number asked for by the copy's end.
std::uint8_t Model::nextByte(Answer& answer)
{
    const Rule& rule = rules_[answer.rule].rule;
    std::uint8_t value = rule.text[answer.byte];
    if (rule.corrupt > 0) {
        const std::uint64_t length = rule.text.size();
        const std::uint64_t wanted = std::min<std::uint64_t>(rule.corrupt, length);
        if (answer.random.below(length - answer.byte) < wanted - answer.changed) {
            ++answer.changed;
            value = static_cast<std::uint8_t>(value ^ (1 + answer.random.below(255)));
        }
    }
    return value;
}

// Past the byte just made: false once the answer is over.
bool Model::stepByte(Answer& answer)
{
    const Rule& rule = rules_[answer.rule].rule;
    if (++answer.byte < rule.text.size()) {
        answer.dueMs += rule.gapMs;
        return true;
    }
    if (rule.repeat != 0 && answer.copy + 1 >= rule.repeat) {
        rounds_ += answer.endsRound ? 1 : 0;
        return false;
    }
    startCopy(answer, answer.copy + 1);
    return true;
}

// Passes over every byte due by `horizonMs` without making it: false once
// the answer is over.
bool Model::skipUntil(Answer& answer, std::uint64_t horizonMs)
{
    if (answer.dueMs > horizonMs) {
        return true;
    }
    const Rule& rule = rules_[answer.rule].rule;
    const std::uint64_t every = period(rule);
    const std::size_t length = rule.text.size();
    // The first byte due after the horizon: copy `copy`, byte `byte`.
    std::uint64_t copy = 0;
    std::size_t byte = 0;
    bool over = every == 0; // every copy was due at once
    if (!over) {
        const std::uint64_t since = horizonMs - answer.startMs;
        copy = since / every;
        const std::uint64_t within = since % every;
        const std::uint64_t next = rule.gapMs == 0 ? length : within / rule.gapMs + 1;
        if (next >= length) {
            ++copy;
        } else {
            byte = static_cast<std::size_t>(next);
        }
        over = rule.repeat != 0 && copy >= rule.repeat;
    }
    if (over) {
        rounds_ += answer.endsRound ? 1 : 0;
        return false;
    }
    if (copy != answer.copy) {
        startCopy(answer, copy);
    }
    // The copy's choices are made as if its first bytes had gone out, so
    // that the rest of it is corrupted as it would have been.
    while (rule.corrupt > 0 && answer.byte < byte) {
        nextByte(answer);
        ++answer.byte;
    }
    answer.byte = byte;
    answer.dueMs = answer.startMs + copy * every + byte * rule.gapMs;
    return true;
}

bool Model::finishEvent(const Answer& answer)
{
    rounds_ += answer.endsRound ? 1 : 0;
    if (answer.event == Event::hangup) {
        hungUp_ = true;
    } else if (answer.event == Event::vanish) {
        const std::uint64_t back = answer.dueMs + rules_[answer.rule].rule.vanishMs;
        awayUntilMs_ = away_ ? std::max(awayUntilMs_, back) : back;
        away_ = true;
        ++vanishes_;
        // What the host sent to the old port is gone with it.
        triggers_.reset();
    }
    return false;
}

// Makes the answer's bytes due by `horizonMs` into `out`, up to `limit`, or
// passes over them without `out`. True while the answer goes on.
bool Model::play(Answer& answer, std::uint64_t horizonMs, Bytes* out, std::size_t limit)
{
    if (answer.event != Event::bytes) {
        return finishEvent(answer);
    }
    if (out == nullptr) {
        return skipUntil(answer, horizonMs);
    }
    // Bytes due at one moment go together; at the next moment another
    // answer may be due first.
    const std::uint64_t due = answer.dueMs;
    while (out->size() < limit && answer.dueMs == due) {
        out->push_back(nextByte(answer));
        if (!stepByte(answer)) {
            return false;
        }
    }
    return true;
}

void Model::advance(std::uint64_t nowMs, Bytes* out, std::size_t limit)
{
    while (!hungUp_) {
        if (away_) {
            // What comes due while the device is away is lost.
            const bool back = nowMs >= awayUntilMs_;
            const std::uint64_t lostBefore = back ? awayUntilMs_ : nowMs + 1;
            if (!answers_.empty() && answers_.top().dueMs < lostBefore) {
                Answer next = answers_.top();
                answers_.pop();
                if (play(next, lostBefore - 1, nullptr, 0)) {
                    answers_.push(next);
                }
                continue;
            }
            if (!back) {
                return;
            }
            away_ = false;
            continue;
        }
        if (answers_.empty() || answers_.top().dueMs > nowMs || (out != nullptr && out->size() >= limit)) {
            return;
        }
        Answer next = answers_.top();
        answers_.pop();
        if (play(next, nowMs, out, limit)) {
            answers_.push(next);
        }
        if (out != nullptr && next.event == Event::vanish) {
            // The port goes now: what follows is for the next one.
            return;
        }
    }
}

Bytes Model::takeDue(std::uint64_t nowMs, std::size_t limit)
{
    Bytes due;
    advance(nowMs, &due, limit);
    return due;
}

void Model::dropDue(std::uint64_t nowMs)
{
    advance(nowMs, nullptr, 0);
}

std::optional<std::uint64_t> Model::nextDueMs() const
{
    std::optional<std::uint64_t> next;
    if (!answers_.empty()) {
        next = answers_.top().dueMs;
    }
    if (away_ && (!next || awayUntilMs_ < *next)) {
        next = awayUntilMs_;
    }
    return next;
}

} // namespace kestrin::sim
