// The sim's timing on a virtual millisecond clock: what it sends
// when, for which trigger, and when a round counts as done.
#include "sim/model.h"
#include "sim/script.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kestrin::sim {
namespace {

const std::uint64_t start = 1000;

Model model(const std::string& script)
{
    return Model(parseScript(script), start);
}

void hostSends(Model& d, const std::string& text, std::uint64_t atMs)
{
    d.receive(reinterpret_cast<const std::uint8_t*>(text.data()), text.size(), start + atMs);
}

// Steps the clock a millisecond at a time and notes when each byte went out.
std::vector<std::pair<std::uint64_t, std::string>> run(Model& d, std::uint64_t fromMs, std::uint64_t toMs)
{
    std::vector<std::pair<std::uint64_t, std::string>> sent;
    for (std::uint64_t t = fromMs; t <= toMs; ++t) {
        const Bytes due = d.takeDue(start + t);
        if (!due.empty()) {
            sent.emplace_back(t, std::string(due.begin(), due.end()));
        }
    }
    return sent;
}

using Sent = std::vector<std::pair<std::uint64_t, std::string>>;

TEST(SimModel, AnswersATriggerAfterItsDelayInOneGo)
{
    auto d = model("on PING reply PONG after 30");
    hostSends(d, "PING", 10);
    EXPECT_EQ(d.nextDueMs(), start + 40);
    EXPECT_EQ(run(d, 10, 100), (Sent{{40, "PONG"}}));
    EXPECT_EQ(d.rounds(), 1u);
    EXPECT_FALSE(d.nextDueMs().has_value());
}

TEST(SimModel, SaysNothingWithoutItsTrigger)
{
    auto d = model("on PING reply PONG");
    hostSends(d, "PIN", 0);
    hostSends(d, "X", 1);
    EXPECT_EQ(run(d, 0, 50), Sent{});
    EXPECT_EQ(d.rounds(), 0u);
}

TEST(SimModel, FindsATriggerSplitAcrossChunksAndAmidNoise)
{
    auto d = model("on PING\\r\\n reply OK");
    hostSends(d, "noisePI", 0);
    hostSends(d, "NG\r", 5);
    hostSends(d, "\nmore", 7);
    EXPECT_EQ(run(d, 0, 20), (Sent{{7, "OK"}}));
}

TEST(SimModel, GapSendsByteByByte)
{
    auto d = model("on Q reply ABC after 10 gap 5");
    hostSends(d, "Q", 0);
    EXPECT_EQ(run(d, 0, 100), (Sent{{10, "A"}, {15, "B"}, {20, "C"}}));
    EXPECT_EQ(d.rounds(), 1u);
}

TEST(SimModel, RoundEndsOnlyWithTheLastByteOfTheLastCopy)
{
    auto d = model("on Q reply NO repeat 3 every 100");
    hostSends(d, "Q", 0);
    EXPECT_EQ(run(d, 0, 150), (Sent{{0, "NO"}, {100, "NO"}}));
    EXPECT_EQ(d.rounds(), 0u);
    EXPECT_EQ(run(d, 151, 300), (Sent{{200, "NO"}}));
    EXPECT_EQ(d.rounds(), 1u);
}

TEST(SimModel, EachTriggerInABurstIsAnswered)
{
    auto d = model("on PING reply PONG\\r\\nTRAILER");
    hostSends(d, "PINGPINGPING", 0);
    EXPECT_EQ(run(d, 0, 0), (Sent{{0, "PONG\r\nTRAILERPONG\r\nTRAILERPONG\r\nTRAILER"}}));
    EXPECT_EQ(d.rounds(), 3u);
}

TEST(SimModel, TimesHandsTheTriggerOnToTheNextRule)
{
    auto d = model("on PING reply RIGHT times 2\non PING reply WRONG");
    for (std::uint64_t i = 0; i < 4; ++i) {
        hostSends(d, "PING", i * 10);
    }
    EXPECT_EQ(run(d, 0, 40), (Sent{{0, "RIGHT"}, {10, "RIGHT"}, {20, "WRONG"}, {30, "WRONG"}}));
}

TEST(SimModel, EarliestTriggerWinsAndTheFirstRuleOnATie)
{
    auto d = model("on BC reply second\non ABC reply first\non C reply third");
    hostSends(d, "ABC", 0);
    // "BC" and "ABC" and "C" all end at the same byte: the first listed wins,
    // and the bytes it consumed cannot set off another rule.
    EXPECT_EQ(run(d, 0, 0), (Sent{{0, "second"}}));
    auto e = model("on XYZ reply late\non Y reply early");
    hostSends(e, "XYZ", 0);
    EXPECT_EQ(run(e, 0, 0), (Sent{{0, "early"}}));
}

TEST(SimModel, SilentRuleSwallowsTheTriggerAndCountsARound)
{
    auto d = model("on PING silent times 1\non PING reply PONG");
    hostSends(d, "PING", 0);
    EXPECT_EQ(run(d, 0, 10), Sent{});
    EXPECT_EQ(d.rounds(), 1u);
    hostSends(d, "PING", 20);
    EXPECT_EQ(run(d, 20, 30), (Sent{{20, "PONG"}}));
    EXPECT_EQ(d.rounds(), 2u);
}

TEST(SimModel, UnpromptedSendsKeepTheirPeriodWithoutCountingRounds)
{
    auto d = model("send READY after 50 every 100 repeat 3");
    EXPECT_EQ(d.nextDueMs(), start + 50);
    EXPECT_EQ(run(d, 0, 1000), (Sent{{50, "READY"}, {150, "READY"}, {250, "READY"}}));
    EXPECT_EQ(d.rounds(), 0u);
    EXPECT_FALSE(d.nextDueMs().has_value());
}

TEST(SimModel, ChatterForeverIsScheduledOnlyAsItComesDue)
{
    auto d = model("send tick every 10");
    // A clock that jumps far ahead still gets every copy, in order.
    const Bytes due = d.takeDue(start + 95);
    std::string tenTicks;
    for (int i = 0; i < 10; ++i) {
        tenTicks += "tick";
    }
    EXPECT_EQ(std::string(due.begin(), due.end()), tenTicks);
    EXPECT_EQ(d.nextDueMs(), start + 100);
}

TEST(SimModel, ForgetsOldNoiseButStillHearsANewTrigger)
{
    auto d = model("on END reply OK");
    const std::string noise(100000, 'x');
    hostSends(d, noise, 0);
    hostSends(d, "END", 1);
    EXPECT_EQ(run(d, 0, 1), (Sent{{1, "OK"}}));
}

// The first time at or after `fromMs` when the model has hung up.
std::optional<std::uint64_t> hangsUpAt(Model& d, std::uint64_t fromMs, std::uint64_t toMs, std::string& sent)
{
    for (std::uint64_t t = fromMs; t <= toMs; ++t) {
        const Bytes due = d.takeDue(start + t);
        sent.append(due.begin(), due.end());
        if (d.hungUp()) {
            return t;
        }
    }
    return std::nullopt;
}

TEST(SimModel, HangsUpOnItsTriggerAfterItsDelayAndSaysNothingMore)
{
    auto d = model("send TICK every 10\non BYE hangup after 25");
    std::string sent;
    EXPECT_EQ(hangsUpAt(d, 0, 20, sent), std::nullopt) << "not without its trigger";
    hostSends(d, "BYE", 20);
    EXPECT_EQ(d.nextDueMs(), start + 30) << "the ticks are still due";
    sent.clear();
    EXPECT_EQ(hangsUpAt(d, 21, 100, sent), 45u);
    EXPECT_EQ(sent, "TICKTICK") << "what was due before the hangup went out, at 30 and 40";
    EXPECT_EQ(d.rounds(), 1u) << "a hangup answers its trigger";
    EXPECT_TRUE(d.takeDue(start + 1000).empty()) << "nothing after a hangup";
    EXPECT_TRUE(d.hungUp());
}

TEST(SimModel, HangsUpUnpromptedAfterItsTime)
{
    auto d = model("hangup after 2s");
    EXPECT_EQ(d.nextDueMs(), start + 2000);
    std::string sent;
    EXPECT_EQ(hangsUpAt(d, 0, 3000, sent), 2000u);
    EXPECT_EQ(sent, "");
}

} // namespace
} // namespace kestrin::sim
