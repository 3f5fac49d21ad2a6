// The trigger automaton against the search it replaces: after every byte,
// the first listed rule still answering whose trigger ends the input heard
// since the last answer.
#include "base/random.h"
#include "sim/script.h"
#include "sim/triggers.h"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace kestrin::sim {
namespace {

std::vector<Rule> rulesOf(const std::vector<std::pair<std::string, std::uint64_t>>& triggersAndTimes)
{
    std::vector<Rule> rules;
    for (const auto& [trigger, times] : triggersAndTimes) {
        Rule rule;
        rule.trigger = Bytes(trigger.begin(), trigger.end());
        rule.text = {'!'};
        rule.times = times;
        rules.push_back(rule);
    }
    return rules;
}

// The plain search, byte by byte.
class Reference {
public:
    explicit Reference(const std::vector<Rule>& rules) : rules_(rules), used_(rules.size(), 0) {}
    std::optional<std::size_t> feed(std::uint8_t byte)
    {
        heard_.push_back(byte);
        for (std::size_t i = 0; i < rules_.size(); ++i) {
            const Bytes& trigger = rules_[i].trigger;
            const bool answering = rules_[i].times == 0 || used_[i] < rules_[i].times;
            if (answering && heard_.size() >= trigger.size()
                && std::equal(trigger.begin(), trigger.end(), heard_.end() - static_cast<std::ptrdiff_t>(trigger.size()))) {
                heard_.clear();
                ++used_[i];
                return i;
            }
        }
        return std::nullopt;
    }

private:
    std::vector<Rule> rules_;
    std::vector<std::uint64_t> used_;
    Bytes heard_;
};

// Feeds `input` to the automaton, retiring rules as their times run out:
// which rule answered at each byte (-1 for none).
std::vector<long> answers(const std::vector<Rule>& rules, const std::string& input)
{
    Triggers triggers(rules);
    std::vector<std::uint64_t> used(rules.size(), 0);
    std::vector<long> found;
    for (const char c : input) {
        const auto rule = triggers.feed(static_cast<std::uint8_t>(c));
        found.push_back(rule ? static_cast<long>(*rule) : -1);
        if (rule && ++used[*rule] == rules[*rule].times) {
            triggers.retire(*rule);
        }
    }
    return found;
}

std::vector<long> referenceAnswers(const std::vector<Rule>& rules, const std::string& input)
{
    Reference reference(rules);
    std::vector<long> found;
    for (const char c : input) {
        const auto rule = reference.feed(static_cast<std::uint8_t>(c));
        found.push_back(rule ? static_cast<long>(*rule) : -1);
    }
    return found;
}

TEST(SimTriggers, AllTriggersEndingAtOneByteGoToTheFirstListedRule)
{
    const auto rules = rulesOf({{"BC", 0}, {"ABC", 0}, {"C", 0}, {"XBC", 0}});
    EXPECT_EQ(answers(rules, "ABC"), (std::vector<long>{-1, -1, 0}));
    EXPECT_EQ(answers(rulesOf({{"ABC", 0}, {"C", 0}}), "ABC"), (std::vector<long>{-1, -1, 0}));
    EXPECT_EQ(answers(rulesOf({{"XYZ", 0}, {"Y", 0}}), "XYZ"), (std::vector<long>{-1, 1, -1}))
        << "the earliest end wins, and the bytes it used are gone";
}

TEST(SimTriggers, ARetiredRuleLeavesItsTriggerToTheNextOneListedWithIt)
{
    const auto rules = rulesOf({{"P", 2}, {"QP", 1}, {"P", 0}});
    EXPECT_EQ(answers(rules, "PPQPQPP"), (std::vector<long>{0, 0, -1, 1, -1, 2, 2}));
}

TEST(SimTriggers, AgreesWithThePlainSearchOnRandomScripts)
{
    Random random(2024);
    for (int round = 0; round < 300; ++round) {
        std::vector<std::pair<std::string, std::uint64_t>> script;
        const auto count = 1 + random.below(12);
        for (std::uint64_t i = 0; i < count; ++i) {
            std::string trigger;
            const auto length = 1 + random.below(5);
            for (std::uint64_t j = 0; j < length; ++j) {
                trigger += static_cast<char>('a' + random.below(3));
            }
            script.emplace_back(trigger, random.below(3) == 0 ? 0 : 1 + random.below(4));
        }
        std::string input;
        for (int i = 0; i < 400; ++i) {
            input += static_cast<char>('a' + random.below(3));
        }
        const auto rules = rulesOf(script);
        ASSERT_EQ(answers(rules, input), referenceAnswers(rules, input)) << "round " << round;
    }
}

TEST(SimTriggers, ResetForgetsWhatCameBefore)
{
    Triggers triggers(rulesOf({{"AB", 0}}));
    EXPECT_FALSE(triggers.feed('A'));
    triggers.reset();
    EXPECT_FALSE(triggers.feed('B'));
    EXPECT_FALSE(triggers.feed('A'));
    EXPECT_EQ(triggers.feed('B'), std::optional<std::size_t>(0));
}

} // namespace
} // namespace kestrin::sim

namespace kestrin::sim {
namespace {

TEST(SimTriggers, TriggersNoRuleAnswersCostNothingAfterTheFirstPass)
{
    // "a", "aa", ... all retired: every 'a' ends all of them, and a search
    // that passed over them each time would take thousands of steps a byte.
    std::vector<std::pair<std::string, std::uint64_t>> script;
    for (std::size_t length = 1; length <= triggerLimit; ++length) {
        script.emplace_back(std::string(length, 'a'), 1);
    }
    script.emplace_back("ab", 0);
    Triggers triggers(rulesOf(script));
    for (std::size_t i = 0; i < triggerLimit; ++i) {
        triggers.retire(i);
    }
    const auto began = std::chrono::steady_clock::now();
    std::size_t answered = 0;
    for (int i = 0; i < 1000000; ++i) {
        answered += triggers.feed(i % 8192 == 8191 ? 'b' : 'a') ? 1 : 0;
    }
    const auto took = std::chrono::steady_clock::now() - began;
    EXPECT_EQ(answered, 1000000u / 8192);
    // Tens of milliseconds here; passing over the retired triggers each time
    // took seconds.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || defined(KESTRIN_TEST_EMULATED)
    const long slowdown = 10;
#else
    const long slowdown = 1;
#endif
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(took).count(), 2000 * slowdown);
}

} // namespace
} // namespace kestrin::sim
