// What people type: escaped and hex byte strings, port settings, poll
// requests and device scripts.
#include "base/bytes.h"
#include "base/duration.h"
#include "base/error.h"
#include "base/outcome.h"
#include "base/port_settings.h"
#include "base/request.h"
#include "sim/script.h"

#include <gtest/gtest.h>

#include <string>

namespace kestrin {
namespace {

// The usage error `parse` throws, or "" (and a failure) when it throws none.
template <typename Parse>
std::string usageErrorOf(Parse parse)
{
    try {
        parse();
    } catch (const Error& error) {
        EXPECT_EQ(error.status(), Status::usage) << error.what();
        return error.what();
    }
    ADD_FAILURE() << "no error";
    return "";
}

Bytes escaped(const std::string& text)
{
    return parseEscaped(text);
}

std::string escapeError(const std::string& text)
{
    return usageErrorOf([&] { parseEscaped(text); });
}

Bytes hex(const std::string& text)
{
    return parseHex(text);
}

TEST(Escapes, EachKnownEscapeGivesItsByte)
{
    EXPECT_EQ(escaped("A\\rB\\nC\\tD\\\\E"), (Bytes{'A', '\r', 'B', '\n', 'C', '\t', 'D', '\\', 'E'}));
    EXPECT_EQ(escaped("\\x00\\x7f\\xFF\\xa5"), (Bytes{0x00, 0x7f, 0xff, 0xa5}));
    EXPECT_EQ(escaped("plain text"), toBytes("plain text"));
    EXPECT_EQ(escaped(""), Bytes{});
}

TEST(Escapes, HexEscapeTakesExactlyTwoDigits)
{
    EXPECT_EQ(escaped("\\x414"), (Bytes{0x41, '4'}));
    EXPECT_NE(escapeError("\\x4"), "");
    EXPECT_NE(escapeError("\\x"), "");
    EXPECT_NE(escapeError("\\xg1"), "");
}

TEST(Escapes, UnknownOrUnfinishedEscapesAreRefusedWithTheirPlace)
{
    const std::string unknown = escapeError("OK\\q");
    EXPECT_NE(unknown.find("\\q"), std::string::npos) << unknown;
    EXPECT_NE(unknown.find("position 3"), std::string::npos) << unknown;
    EXPECT_NE(escapeError("OK\\"), "");
    EXPECT_NE(escapeError("\\0"), "");
}

TEST(Escapes, EscapeBytesReadsBackToTheSameBytes)
{
    Bytes all;
    for (int b = 0; b < 256; ++b) {
        all.push_back(static_cast<std::uint8_t>(b));
    }
    EXPECT_EQ(escaped(escapeBytes(all)), all);
    EXPECT_EQ(escapeBytes(toBytes("OK\r\n\\\x01")), "OK\\r\\n\\\\\\x01");
}

TEST(Hex, PairsWithOrWithoutSeparatorsAndPrefixes)
{
    const Bytes ok{0x4f, 0x4b, 0x0d, 0x0a};
    EXPECT_EQ(hex("4f4b0d0a"), ok);
    EXPECT_EQ(hex("4F 4B 0D 0A"), ok);
    EXPECT_EQ(hex("4f:4b-0d,0a"), ok);
    EXPECT_EQ(hex("0x4f 0x4b 0X0d 0x0a"), ok);
    EXPECT_EQ(hex(""), Bytes{});
    EXPECT_EQ(hexBytes(ok), "4f 4b 0d 0a");
}

TEST(Hex, OddDigitsAndNonHexAreRefused)
{
    for (const char* bad : {"4", "4f4", "4g", "zz", "4 f", "0x"}) {
        EXPECT_NE(usageErrorOf([&] { parseHex(bad); }), "") << bad;
    }
    EXPECT_EQ(usageErrorOf([] { bytesFrom("", "4f4", "request"); }).rfind("bad hex in the request: ", 0), 0u);
    EXPECT_EQ(usageErrorOf([] { bytesFrom("\\q", "", "request"); }).rfind("bad escape in the request: ", 0), 0u);
}

TEST(PortSettings, DefaultsAreUsable)
{
    EXPECT_NO_THROW(checkSettings(PortSettings{}));
}

TEST(PortSettings, AnyBaudRateButZeroIsLeftToTheDriver)
{
    PortSettings settings;
    for (const std::uint32_t baud : {1u, 300u, 9600u, 14400u, 31250u, 250000u, 12345678u, 4294967295u}) {
        settings.baud = baud;
        EXPECT_NO_THROW(checkSettings(settings)) << baud;
    }
    settings.baud = 0;
    EXPECT_NE(usageErrorOf([&] { checkSettings(settings); }), "");
}

TEST(PortSettings, ParityByNameOrLetterInAnyCase)
{
    const auto parity = [](const std::string& name) { return parseParity(name); };
    EXPECT_EQ(parity("none"), Parity::none);
    EXPECT_EQ(parity("E"), Parity::even);
    EXPECT_EQ(parity("even"), Parity::even);
    EXPECT_EQ(parity("ODD"), Parity::odd);
    EXPECT_EQ(parity("o"), Parity::odd);
    EXPECT_EQ(parity("Mark"), Parity::mark);
    EXPECT_EQ(parity("s"), Parity::space);
    EXPECT_EQ(parity("N"), Parity::none);
    for (const char* bad : {"", "x", "ev", "evenly", "no", "1"}) {
        EXPECT_NE(usageErrorOf([&] { parseParity(bad); }).find("parity must be"), std::string::npos) << bad;
    }
    for (const Parity p : {Parity::none, Parity::even, Parity::odd, Parity::mark, Parity::space}) {
        EXPECT_EQ(parity(parityName(p)), p) << "each name reads back";
    }
}

TEST(PortSettings, FlowAndModemLinesByName)
{
    EXPECT_EQ(parseFlow("RTSCTS"), Flow::rtsCts);
    EXPECT_EQ(parseFlow("xonxoff"), Flow::xonXoff);
    EXPECT_NE(usageErrorOf([] { parseFlow("hardware"); }).find("hardware"), std::string::npos);
    EXPECT_NE(usageErrorOf([] { parseFlow("r"); }), "") << "no letters for flow: r could be either";
    EXPECT_STREQ(flowName(Flow::rtsCts), "rtscts");

    EXPECT_EQ(parseLine("On", "--dtr"), Line::on);
    EXPECT_EQ(parseLine("off", "--dtr"), Line::off);
    EXPECT_EQ(usageErrorOf([] { parseLine("1", "--rts"); }), "--rts must be on or off, not '1'");
    EXPECT_NE(usageErrorOf([] { parseLine("keep", "--dtr"); }), "") << "keeping is what leaving the option out does";
}

int duration(const std::string& text)
{
    return parseDurationMs(text);
}

std::string durationError(const std::string& text)
{
    return usageErrorOf([&] { parseDurationMs(text); });
}

TEST(Durations, UnitsOrPlainMilliseconds)
{
    EXPECT_EQ(duration("1500"), 1500);
    EXPECT_EQ(duration("0"), 0);
    EXPECT_EQ(duration("500ms"), 500);
    EXPECT_EQ(duration("2s"), 2000);
    EXPECT_EQ(duration("1.5s"), 1500);
    EXPECT_EQ(duration("0.001s"), 1);
    EXPECT_EQ(duration("1.2500s"), 1250);
    EXPECT_EQ(duration("10m"), 600000);
    EXPECT_EQ(duration("10min"), 600000);
    EXPECT_EQ(duration("1h"), 3600000);
    EXPECT_EQ(duration("2147483647"), 2147483647) << "pollUart's largest budget, which never runs out";
}

TEST(Durations, NonsenseFractionsOfAMillisecondAndOverflowAreRefused)
{
    for (const char* bad : {"", "s", "ms", "-5", "5 s", "2S", "2sec", "1.", ".5s", "1.2.3s", "1e3", "0x10", "5d"}) {
        EXPECT_NE(durationError(bad).find("not a duration"), std::string::npos) << bad;
    }
    EXPECT_NE(durationError("0.0005s").find("whole number of milliseconds"), std::string::npos);
    EXPECT_NE(durationError("1.5").find("whole number of milliseconds"), std::string::npos);
    EXPECT_NE(durationError("2147483648").find("too long"), std::string::npos);
    EXPECT_NE(durationError("597h").find("too long"), std::string::npos);
    EXPECT_NE(durationError("99999999999999999999ms").find("too long"), std::string::npos);
}

TEST(PortSettings, LineSettingsAndReadWaitAreBounded)
{
    const auto refused = [](auto change) {
        PortSettings settings;
        change(settings);
        try {
            checkSettings(settings);
        } catch (const Error& error) {
            return error.status() == Status::usage;
        }
        return false;
    };
    EXPECT_TRUE(refused([](PortSettings& s) { s.dataBits = 4; }));
    EXPECT_TRUE(refused([](PortSettings& s) { s.dataBits = 9; }));
    EXPECT_FALSE(refused([](PortSettings& s) { s.dataBits = 5; }));
    EXPECT_TRUE(refused([](PortSettings& s) { s.stopBits = 0; }));
    EXPECT_TRUE(refused([](PortSettings& s) { s.stopBits = 3; }));
    EXPECT_FALSE(refused([](PortSettings& s) { s.stopBits = 2; }));
    EXPECT_TRUE(refused([](PortSettings& s) { s.readWaitMs = 0; }));
    EXPECT_FALSE(refused([](PortSettings& s) { s.readWaitMs = 1; }));
    EXPECT_FALSE(refused([](PortSettings& s) { s.readWaitMs = 25500; }));
    EXPECT_TRUE(refused([](PortSettings& s) { s.readWaitMs = 25501; }));
}

TEST(PollRequest, ExpectedReplyMustHoldOneToTwentyBytes)
{
    PollRequest request;
    request.port = "/dev/ttyS0";
    EXPECT_NE(usageErrorOf([&] { checkRequest(request); }).find("empty"), std::string::npos);
    request.expect = Bytes(1, 'A');
    EXPECT_NO_THROW(checkRequest(request));
    request.expect = Bytes(20, 'A');
    EXPECT_NO_THROW(checkRequest(request));
    request.expect = Bytes(21, 'A');
    const std::string error = usageErrorOf([&] { checkRequest(request); });
    EXPECT_NE(error.find("21 bytes"), std::string::npos) << error;
    EXPECT_NE(error.find("20"), std::string::npos) << error;
}

TEST(PollRequest, NegativeTimeoutAndBadSettingsAreRefused)
{
    PollRequest request;
    request.expect = toBytes("OK");
    request.timeoutMs = -1;
    EXPECT_NE(usageErrorOf([&] { checkRequest(request); }), "");
    request.timeoutMs = 0;
    EXPECT_NO_THROW(checkRequest(request));
    request.settings.baud = 0;
    EXPECT_NE(usageErrorOf([&] { checkRequest(request); }), "");
}

TEST(Status, ExitCodesAndNamesComeFromTheStatusAlone)
{
    EXPECT_EQ(exitCode(Status::matched), 0);
    EXPECT_EQ(exitCode(Status::matched, true), 1) << "a late match under --strict";
    EXPECT_EQ(exitCode(Status::noMatch), 1);
    for (const Status failure : {Status::usage, Status::error, Status::busy, Status::deviceGone}) {
        EXPECT_EQ(exitCode(failure), 2) << statusName(failure);
        EXPECT_TRUE(isFailure(failure));
    }
    EXPECT_EQ(exitCode(Status::interrupted), 130);
    EXPECT_EQ(exitCode(Status::stopped), 0) << "a sim is meant to be stopped by a signal";
    EXPECT_STREQ(statusName(Status::usage), "error") << "JSON knows one kind of error";
    EXPECT_STREQ(statusName(Status::deviceGone), "device_gone");
    EXPECT_STREQ(statusName(Status::noMatch), "no_match");
}

sim::Rule rule(const std::string& line)
{
    return sim::parseRule(line);
}

std::string ruleError(const std::string& line)
{
    return usageErrorOf([&] { sim::parseRule(line); });
}

TEST(SimScript, ReplyRuleWithEveryOption)
{
    const sim::Rule r = rule("on PING\\r\\n reply PONG\\r\\nJUNK after 50 gap 2 repeat 3 every 40 times 7");
    EXPECT_EQ(r.kind, sim::Rule::Kind::reply);
    EXPECT_EQ(r.trigger, toBytes("PING\r\n"));
    EXPECT_EQ(r.text, toBytes("PONG\r\nJUNK"));
    EXPECT_EQ(r.afterMs, 50u);
    EXPECT_EQ(r.gapMs, 2u);
    EXPECT_EQ(r.repeat, 3u);
    EXPECT_EQ(r.everyMs, 40u);
    EXPECT_EQ(r.times, 7u);
}

TEST(SimScript, DefaultsAnswerEveryTriggerOnceAtOnce)
{
    const sim::Rule r = rule("on A reply B");
    EXPECT_EQ(r.afterMs, 0u);
    EXPECT_EQ(r.gapMs, 0u);
    EXPECT_EQ(r.repeat, 1u);
    EXPECT_EQ(r.times, 0u);
}

TEST(SimScript, QuotesHexAndSilence)
{
    const sim::Rule quoted = rule("on \"HELLO THERE\" reply \"say \\\"hi\\\"\\r\"");
    EXPECT_EQ(quoted.trigger, toBytes("HELLO THERE"));
    EXPECT_EQ(quoted.text, toBytes("say \"hi\"\r"));
    const sim::Rule raw = rule("on hex:0102 reply hex:\"ff 00 7f\"");
    EXPECT_EQ(raw.trigger, (Bytes{1, 2}));
    EXPECT_EQ(raw.text, (Bytes{0xff, 0x00, 0x7f}));
    const sim::Rule silent = rule("on STATUS? silent times 2");
    EXPECT_EQ(silent.kind, sim::Rule::Kind::silent);
    EXPECT_EQ(silent.times, 2u);
}

TEST(SimScript, SendRulesRepeatForeverOnlyWithAPeriod)
{
    EXPECT_EQ(rule("send READY").repeat, 1u);
    EXPECT_EQ(rule("send READY every 100").repeat, 0u);
    EXPECT_EQ(rule("send READY every 100 repeat 4").repeat, 4u);
    EXPECT_EQ(rule("send READY repeat forever every 5").repeat, 0u);
    EXPECT_NE(ruleError("send READY repeat forever"), "");
}

TEST(SimScript, MistakesAreNamed)
{
    EXPECT_NE(ruleError("on PING reply").find("missing"), std::string::npos);
    EXPECT_NE(ruleError("on PING answer PONG").find("answer"), std::string::npos);
    EXPECT_NE(ruleError("on PING reply PONG aftr 5").find("aftr"), std::string::npos);
    EXPECT_NE(ruleError("on PING reply PONG after").find("after"), std::string::npos);
    EXPECT_NE(ruleError("on PING reply PONG after -5").find("-5"), std::string::npos);
    EXPECT_NE(ruleError("on PING silent after 5").find("after"), std::string::npos);
    EXPECT_NE(ruleError("send X times 2").find("times"), std::string::npos);
    EXPECT_NE(ruleError("on PING reply PONG repeat 0"), "");
    EXPECT_NE(ruleError("on \"PING reply PONG"), "");
    EXPECT_NE(ruleError("on \"\" reply PONG").find("empty"), std::string::npos);
    EXPECT_NE(ruleError("on P\\q reply PONG").find("\\q"), std::string::npos);
    EXPECT_NE(ruleError("hello"), "");
    EXPECT_NE(ruleError(""), "");
}

TEST(SimScript, HangupRulesAndTimesWithUnits)
{
    const sim::Rule onTrigger = rule("on BYE hangup after 1.5s times 1");
    EXPECT_EQ(onTrigger.kind, sim::Rule::Kind::hangup);
    EXPECT_EQ(onTrigger.trigger, toBytes("BYE"));
    EXPECT_EQ(onTrigger.afterMs, 1500u);
    EXPECT_EQ(onTrigger.times, 1u);
    const sim::Rule unprompted = rule("hangup after 2s");
    EXPECT_EQ(unprompted.kind, sim::Rule::Kind::hangup);
    EXPECT_TRUE(unprompted.trigger.empty());
    EXPECT_EQ(unprompted.afterMs, 2000u);
    EXPECT_EQ(rule("on A reply B after 250ms gap 5 every 1s repeat 3").everyMs, 1000u);
    EXPECT_NE(ruleError("hangup times 2").find("times"), std::string::npos) << "nothing to count without a trigger";
    EXPECT_NE(ruleError("on BYE hangup gap 5").find("gap"), std::string::npos);
    EXPECT_NE(ruleError("on BYE hangup repeat 2").find("repeat"), std::string::npos);
    EXPECT_NE(ruleError("on A reply B after 2days").find("2days"), std::string::npos);
    EXPECT_NE(ruleError("on A reply B after 25h").find("too long"), std::string::npos);
    EXPECT_NE(ruleError("on A reply B repeat 2s"), "") << "a count takes no unit";
}

TEST(SimScript, VanishCorruptAndChance)
{
    const sim::Rule vanish = rule("on RESET vanish 2s after 100 times 1 chance 50%");
    EXPECT_EQ(vanish.kind, sim::Rule::Kind::vanish);
    EXPECT_EQ(vanish.trigger, toBytes("RESET"));
    EXPECT_EQ(vanish.vanishMs, 2000u);
    EXPECT_EQ(vanish.afterMs, 100u);
    EXPECT_EQ(vanish.times, 1u);
    EXPECT_EQ(vanish.chance, 5000u);
    EXPECT_EQ(rule("on A reply B corrupt 2").corrupt, 2u);
    EXPECT_EQ(rule("send B every 10 corrupt 1").corrupt, 1u);
    EXPECT_EQ(rule("on A reply B").chance, sim::Rule::chanceAlways);
    EXPECT_EQ(rule("on A silent chance 1%").chance, 100u);
    EXPECT_EQ(rule("on A hangup chance 12.5%").chance, 1250u);

    EXPECT_NE(ruleError("on RESET vanish").find("vanish"), std::string::npos);
    EXPECT_NE(ruleError("on RESET vanish 2days").find("2days"), std::string::npos);
    EXPECT_NE(ruleError("vanish 2s"), "") << "a vanish needs a trigger";
    EXPECT_NE(ruleError("on RESET vanish 1s gap 5").find("gap"), std::string::npos);
    EXPECT_NE(ruleError("on A reply B corrupt 0"), "");
    EXPECT_NE(ruleError("on A silent corrupt 1").find("corrupt"), std::string::npos);
    EXPECT_NE(ruleError("send B chance 50%").find("chance"), std::string::npos);
    EXPECT_NE(ruleError("on A reply B chance").find("chance"), std::string::npos);
}

TEST(SimScript, AChanceIsAPercentageWithUpToTwoDecimals)
{
    const std::vector<std::pair<std::string, std::uint32_t>> good = {
        {"0%", 0}, {"100%", 10000}, {"90%", 9000}, {"99.5%", 9950}, {"0.01%", 1}, {"100.00%", 10000}, {"007%", 700}};
    for (const auto& [typed, hundredths] : good) {
        EXPECT_EQ(rule("on A reply B chance " + typed).chance, hundredths) << typed;
    }
    for (const std::string typed : {"90", "101%", "100.01%", "9.999%", "-5%", ".5%", "5.%", "x%", "%", "5%%", "1e2%"}) {
        EXPECT_NE(ruleError("on A reply B chance " + typed).find("not a chance"), std::string::npos) << typed;
    }
}

TEST(SimScript, ATriggerIsAtMostWhatTheDeviceRemembers)
{
    EXPECT_EQ(rule("on " + std::string(sim::triggerLimit, 'x') + " reply B").trigger.size(), sim::triggerLimit);
    EXPECT_NE(ruleError("on " + std::string(sim::triggerLimit + 1, 'x') + " reply B").find("4096 bytes at most"),
              std::string::npos);
}

TEST(SimScript, ALongBadWordIsShownCut)
{
    const std::string error = ruleError("on A reply B " + std::string(100000, 'z'));
    EXPECT_NE(error.find("unknown word 'zzzz"), std::string::npos) << error.substr(0, 200);
    EXPECT_LT(error.size(), 200u);
    EXPECT_LT(ruleError("on A reply B repeat " + std::string(100000, '9')).size(), 200u);
    EXPECT_LT(ruleError("on A reply B after " + std::string(100000, '9')).size(), 200u);
}

TEST(SimScript, ScriptSkipsCommentsAndNamesTheBadLine)
{
    const std::vector<sim::Rule> rules = sim::parseScript("# a device\n\non A reply B   # answer\n  send C\n");
    ASSERT_EQ(rules.size(), 2u);
    EXPECT_EQ(rules[0].text, toBytes("B"));
    EXPECT_EQ(rules[1].kind, sim::Rule::Kind::send);

    const std::string error = usageErrorOf([] { sim::parseScript("on A reply B\n# fine\non A reply\n", "x.sim: "); });
    EXPECT_EQ(error.rfind("x.sim: line 3:", 0), 0u) << error;
}

} // namespace
} // namespace kestrin
