// What people type: escaped and hex byte strings, port settings, poll
// requests and device scripts.
#include "cli/bytes.h"
#include "cli/duration.h"
#include "host/poll_run.h"
#include "host/port_settings.h"
#include "sim/script.h"

#include <gtest/gtest.h>

#include <string>

namespace kestrin {
namespace {

Bytes escaped(const std::string& text)
{
    Bytes out;
    std::string error;
    EXPECT_TRUE(parseEscaped(text, out, error)) << text << ": " << error;
    return out;
}

std::string escapeError(const std::string& text)
{
    Bytes out{0x55};
    std::string error;
    EXPECT_FALSE(parseEscaped(text, out, error)) << text;
    EXPECT_EQ(out, Bytes{0x55}) << "a failed parse must leave the output alone";
    return error;
}

Bytes hex(const std::string& text)
{
    Bytes out;
    std::string error;
    EXPECT_TRUE(parseHex(text, out, error)) << text << ": " << error;
    return out;
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
        Bytes out;
        std::string error;
        EXPECT_FALSE(parseHex(bad, out, error)) << bad;
        EXPECT_NE(error, "") << bad;
    }
}

TEST(PortSettings, DefaultsAreUsable)
{
    EXPECT_EQ(checkSettings(PortSettings{}), "");
}

TEST(PortSettings, AnyBaudRateButZeroIsLeftToTheDriver)
{
    PortSettings settings;
    for (const std::uint32_t baud : {1u, 300u, 9600u, 14400u, 31250u, 250000u, 12345678u, 4294967295u}) {
        settings.baud = baud;
        EXPECT_EQ(checkSettings(settings), "") << baud;
    }
    settings.baud = 0;
    EXPECT_NE(checkSettings(settings), "");
}

TEST(PortSettings, ParityByNameOrLetterInAnyCase)
{
    const auto parity = [](const std::string& name) {
        Parity p = Parity::none;
        EXPECT_TRUE(parseParity(name, p)) << name;
        return p;
    };
    EXPECT_EQ(parity("none"), Parity::none);
    EXPECT_EQ(parity("E"), Parity::even);
    EXPECT_EQ(parity("even"), Parity::even);
    EXPECT_EQ(parity("ODD"), Parity::odd);
    EXPECT_EQ(parity("o"), Parity::odd);
    EXPECT_EQ(parity("Mark"), Parity::mark);
    EXPECT_EQ(parity("s"), Parity::space);
    EXPECT_EQ(parity("N"), Parity::none);
    for (const char* bad : {"", "x", "ev", "evenly", "no", "1"}) {
        Parity p = Parity::mark;
        EXPECT_FALSE(parseParity(bad, p)) << bad;
        EXPECT_EQ(p, Parity::mark) << "a refused name must leave the parity alone";
    }
    for (const Parity p : {Parity::none, Parity::even, Parity::odd, Parity::mark, Parity::space}) {
        EXPECT_EQ(parity(parityName(p)), p) << "each name reads back";
    }
}

TEST(PortSettings, FlowAndModemLinesByName)
{
    Flow flow = Flow::none;
    EXPECT_TRUE(parseFlow("RTSCTS", flow));
    EXPECT_EQ(flow, Flow::rtsCts);
    EXPECT_TRUE(parseFlow("xonxoff", flow));
    EXPECT_EQ(flow, Flow::xonXoff);
    EXPECT_FALSE(parseFlow("hardware", flow));
    EXPECT_FALSE(parseFlow("r", flow)) << "no letters for flow: r could be either";
    EXPECT_EQ(flow, Flow::xonXoff);
    EXPECT_STREQ(flowName(Flow::rtsCts), "rtscts");

    Line line = Line::keep;
    EXPECT_TRUE(parseLine("On", line));
    EXPECT_EQ(line, Line::on);
    EXPECT_TRUE(parseLine("off", line));
    EXPECT_EQ(line, Line::off);
    EXPECT_FALSE(parseLine("1", line));
    EXPECT_FALSE(parseLine("keep", line)) << "keeping is what leaving the option out does";
    EXPECT_EQ(line, Line::off);
}

int duration(const std::string& text)
{
    int ms = -1;
    std::string error;
    EXPECT_TRUE(parseDurationMs(text, ms, error)) << text << ": " << error;
    return ms;
}

std::string durationError(const std::string& text)
{
    int ms = -7;
    std::string error;
    EXPECT_FALSE(parseDurationMs(text, ms, error)) << text;
    EXPECT_EQ(ms, -7) << "a refused duration must leave the value alone";
    return error;
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
        return !checkSettings(settings).empty();
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
    EXPECT_NE(checkRequest(request).find("empty"), std::string::npos);
    request.expect = Bytes(1, 'A');
    EXPECT_EQ(checkRequest(request), "");
    request.expect = Bytes(20, 'A');
    EXPECT_EQ(checkRequest(request), "");
    request.expect = Bytes(21, 'A');
    const std::string error = checkRequest(request);
    EXPECT_NE(error.find("21 bytes"), std::string::npos) << error;
    EXPECT_NE(error.find("20"), std::string::npos) << error;
}

TEST(PollRequest, NegativeTimeoutAndBadSettingsAreRefused)
{
    PollRequest request;
    request.expect = toBytes("OK");
    request.timeoutMs = -1;
    EXPECT_NE(checkRequest(request), "");
    request.timeoutMs = 0;
    EXPECT_EQ(checkRequest(request), "");
    request.settings.baud = 0;
    EXPECT_NE(checkRequest(request), "");
}

TEST(PollRequest, ExitCodesAreZeroOneTwo)
{
    EXPECT_EQ(exitCode(PollStatus::matched), 0);
    EXPECT_EQ(exitCode(PollStatus::noMatch), 1);
    EXPECT_EQ(exitCode(PollStatus::error), 2);
}

sim::Rule rule(const std::string& line)
{
    sim::Rule r;
    std::string error;
    EXPECT_TRUE(sim::parseRule(line, r, error)) << line << ": " << error;
    return r;
}

std::string ruleError(const std::string& line)
{
    sim::Rule r;
    std::string error;
    EXPECT_FALSE(sim::parseRule(line, r, error)) << line;
    return error;
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

TEST(SimScript, ScriptSkipsCommentsAndNamesTheBadLine)
{
    std::vector<sim::Rule> rules;
    std::string error;
    ASSERT_TRUE(sim::parseScript("# a device\n\non A reply B   # answer\n  send C\n", rules, error)) << error;
    ASSERT_EQ(rules.size(), 2u);
    EXPECT_EQ(rules[0].text, toBytes("B"));
    EXPECT_EQ(rules[1].kind, sim::Rule::Kind::send);

    EXPECT_FALSE(sim::parseScript("on A reply B\n# fine\non A reply\n", rules, error));
    EXPECT_EQ(error.rfind("line 3:", 0), 0u) << error;
    EXPECT_EQ(rules.size(), 2u) << "a failed script must leave the rules alone";
}

} // namespace
} // namespace kestrin
