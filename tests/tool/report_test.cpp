// The views of an outcome: the result line, the JSON object, the trace, the
// summary and the live status text.
#include "base/error.h"
#include "views/json.h"
#include "views/live_status.h"
#include "views/text.h"

#include <gtest/gtest.h>

namespace kestrin {
namespace {

PollRequest request()
{
    PollRequest r;
    r.port = "/dev/ttyUSB0";
    r.expect = toBytes("OK\r\n");
    r.send = toBytes("AT\r");
    r.timeoutMs = 1000;
    r.settings.baud = 115200;
    r.settings.parity = Parity::even;
    r.expectRead = r.sendRead = r.timeoutRead = r.settingsRead = true;
    return r;
}

PollResult result(Status status, long long elapsedMs)
{
    PollResult p;
    p.status = status;
    p.result = status == Status::matched ? 1 : 0;
    p.elapsedMs = elapsedMs;
    return p;
}

// The outcome of one poll, as the poll command leaves it.
Outcome polled(const PollResult& poll, bool library = true, bool strict = false)
{
    Outcome o;
    o.command = "poll";
    o.subject = "/dev/ttyUSB0";
    o.request = request();
    if (library) {
        o.library = LibraryInfo{"/lib/libkestrin.so", 0x01000000};
    }
    o.poll = poll;
    o.status = poll.status;
    o.error = poll.error;
    o.strict = strict;
    return o;
}

// An outcome that failed with `error` before anything ran.
Outcome failed(const Error& error, const std::string& command = "", const std::string& subject = "")
{
    Outcome o;
    o.command = command;
    o.subject = subject;
    o.status = error.status();
    o.error = error.what();
    return o;
}

TEST(ResultLine, MatchGivesTheTime)
{
    EXPECT_EQ(resultLine(request(), result(Status::matched, 12)), "/dev/ttyUSB0: matched in 12 ms");
}

TEST(ResultLine, NoMatchGivesTheBudgetAndTheRealDuration)
{
    EXPECT_EQ(resultLine(request(), result(Status::noMatch, 5003)),
              "/dev/ttyUSB0: no match within 1000 ms (the poll took 5003 ms)");
}

TEST(ResultJson, MatchCarriesOutcomeRequestAndLibrary)
{
    const auto j = outcomeJson(polled(result(Status::matched, 12)));
    EXPECT_EQ(j.at("status"), "matched");
    EXPECT_EQ(j.at("matched"), true);
    EXPECT_EQ(j.at("result"), 1);
    EXPECT_EQ(j.at("exit_code"), 0);
    EXPECT_EQ(j.at("elapsed_ms"), 12);
    EXPECT_EQ(j.at("timeout_ms"), 1000);
    EXPECT_EQ(j.at("port"), "/dev/ttyUSB0");
    EXPECT_EQ(j.at("expect"), "OK\\r\\n");
    EXPECT_EQ(j.at("expect_hex"), "4f 4b 0d 0a");
    EXPECT_EQ(j.at("sent_hex"), "41 54 0d");
    EXPECT_EQ(j.at("baud"), 115200);
    EXPECT_EQ(j.at("parity"), "even");
    EXPECT_EQ(j.at("library"), "/lib/libkestrin.so");
    EXPECT_EQ(j.at("library_version"), "1.0.0.0");
    EXPECT_FALSE(j.contains("error"));
}

TEST(ResultJson, NoMatchAndErrorAreTellable)
{
    const auto miss = outcomeJson(polled(result(Status::noMatch, 1200)));
    EXPECT_EQ(miss.at("status"), "no_match");
    EXPECT_EQ(miss.at("matched"), false);
    EXPECT_EQ(miss.at("exit_code"), 1);

    Outcome error = failed(Error("cannot open: No such file or directory"), "poll", "/dev/ttyUSB0");
    error.request = request();
    const auto j = outcomeJson(error);
    EXPECT_EQ(j.at("status"), "error");
    EXPECT_EQ(j.at("exit_code"), 2);
    EXPECT_EQ(j.at("error"), "cannot open: No such file or directory");
    EXPECT_FALSE(j.contains("matched")) << "no poll ran, so there is no result";
    EXPECT_FALSE(j.contains("library")) << "no library was loaded";
}

TEST(ErrorLine, NamesThePortAndTheCause)
{
    EXPECT_EQ(errorLine(failed(Error("cannot open: Access is denied"), "poll", "COM3")),
              "kestrin: COM3: cannot open: Access is denied");
}

TEST(ErrorLine, WithoutASubjectOnlyTheCause)
{
    EXPECT_EQ(errorLine(failed(Error("cannot load the library x.so: gone"), "about")),
              "kestrin: cannot load the library x.so: gone");
}

TEST(ErrorLine, UsageErrorsPointToTheCommandsHelpAndOthersDoNot)
{
    EXPECT_EQ(errorLine(failed(usageError("unknown baud rate 7"), "poll", "/dev/ttyUSB0")),
              "kestrin: /dev/ttyUSB0: unknown baud rate 7 (see kestrin poll --help)");
    EXPECT_EQ(errorLine(failed(Error("cannot open: Permission denied"), "poll", "/dev/ttyUSB0")),
              "kestrin: /dev/ttyUSB0: cannot open: Permission denied");
    EXPECT_EQ(errorLine(failed(usageError("The following argument was not expected: frob"))),
              "kestrin: The following argument was not expected: frob (see kestrin --help)");
}

TEST(ErrorLine, WhatComesFromOutsideCannotSteerTheTerminal)
{
    // A name with an escape sequence would retitle the window; a newline
    // would split the one error line in two.
    const std::string line = errorLine(failed(Error("cannot open: gone\nkestrin: fake"), "poll", "ttyX\x1b]0;pwn\a"));
    EXPECT_EQ(line, "kestrin: ttyX\\x1b]0;pwn\\x07: cannot open: gone\\x0akestrin: fake");
    EXPECT_EQ(printable("COM\xc3\xa9" "5 \xc2\x9b" "1m \xff"), "COM\xc3\xa9" "5 \\xc2\\x9b1m \\xff")
        << "UTF-8 stays, a C1 control and a stray byte do not";
    PollRequest r = request();
    r.port = "tty\rX";
    EXPECT_EQ(resultLine(r, result(Status::matched, 1)), "tty\\x0dX: matched in 1 ms");
}

TEST(ErrorJson, CarriesWhatWasReadAndNothingElse)
{
    Outcome o = failed(usageError("--timeout: '-1' is not a duration"), "poll", "/dev/ttyUSB0");
    o.request = PollRequest{};
    o.request->port = "/dev/ttyUSB0";
    o.request->expect = toBytes("OK\r\n");
    o.request->expectRead = true;
    o.request->sendRead = true;
    const auto j = outcomeJson(o);
    EXPECT_EQ(j.at("status"), "error");
    EXPECT_EQ(j.at("exit_code"), 2);
    EXPECT_EQ(j.at("error"), "--timeout: '-1' is not a duration (see kestrin poll --help)");
    EXPECT_EQ(j.at("port"), "/dev/ttyUSB0");
    EXPECT_EQ(j.at("expect_hex"), "4f 4b 0d 0a");
    EXPECT_FALSE(j.contains("timeout_ms")) << "never read, so no default stands in for it";
    EXPECT_FALSE(j.contains("baud"));
    EXPECT_FALSE(j.contains("matched"));
}

TEST(ErrorJson, ThePollsErrorObjectHasTheShapeOfItsResultObject)
{
    // A failure before the poll ran and one that is the poll's result must
    // read the same to a test station.
    Outcome before = failed(Error("the device went away"), "poll", "/dev/ttyUSB0");
    before.request = request();
    before.library = LibraryInfo{"/lib/libkestrin.so", 0x01000000};
    before.status = Status::deviceGone;
    PollResult gone = result(Status::deviceGone, 0);
    gone.error = "the device went away";
    EXPECT_EQ(outcomeJson(before), outcomeJson(polled(gone)));
}

TEST(DottedVersion, OneNumberPerByteMostSignificantFirst)
{
    EXPECT_EQ(dottedVersion(0x01000000), "1.0.0.0");
    EXPECT_EQ(dottedVersion(0x01020304), "1.2.3.4");
    EXPECT_EQ(dottedVersion(static_cast<int>(0xff00ff01u)), "255.0.255.1");
}

TEST(LiveStatus, TextShowsElapsedAndBudgetAndWhenTheBudgetIsSpent)
{
    EXPECT_EQ(statusText("/dev/pts/3", 1234, 3000), "kestrin: polling /dev/pts/3: 1.2 s of 3.0 s");
    const std::string over = statusText("COM4", 3500, 3000);
    EXPECT_EQ(over.rfind("kestrin: polling COM4: 3.5 s of 3.0 s", 0), 0u) << over;
    EXPECT_NE(over.find("budget spent"), std::string::npos) << over;
}

TEST(ResultLine, ALateMatchSaysSoAndGivesTheBudget)
{
    PollResult late = result(Status::matched, 1502);
    late.late = true;
    EXPECT_EQ(resultLine(request(), late), "/dev/ttyUSB0: matched in 1502 ms, late: after the budget of 1000 ms");
    const auto j = outcomeJson(polled(late));
    EXPECT_EQ(j.at("late"), true);
    EXPECT_EQ(j.at("exit_code"), 0);
    EXPECT_EQ(outcomeJson(polled(late, true, true)).at("exit_code"), 1) << "--strict";
    EXPECT_EQ(exitCode(polled(late, true, true)), 1) << "--strict";
    EXPECT_EQ(outcomeJson(polled(late, true, true)).at("status"), "matched");
    EXPECT_EQ(outcomeJson(polled(result(Status::matched, 12), true, true)).at("exit_code"), 0);
    EXPECT_EQ(outcomeJson(polled(result(Status::noMatch, 12))).at("late"), false);
}

TEST(ResultJson, ADeviceThatWentAwayHasAStatusOfItsOwn)
{
    PollResult gone = result(Status::deviceGone, 0);
    gone.error = "the device went away during the poll (the port hung up or failed)";
    const auto j = outcomeJson(polled(gone));
    EXPECT_EQ(j.at("status"), "device_gone");
    EXPECT_EQ(j.at("exit_code"), 2);
    EXPECT_EQ(j.at("error"), gone.error);
    EXPECT_FALSE(j.contains("late"));
    EXPECT_EQ(resultLine(request(), gone), "/dev/ttyUSB0: " + gone.error);
}

TEST(ResultJson, CarriesTheFlowAndModemLineSettings)
{
    PollRequest r = request();
    r.settings.flow = Flow::xonXoff;
    r.settings.dtr = Line::off;
    const auto j = requestJson(r);
    EXPECT_EQ(j.at("flow"), "xonxoff");
    EXPECT_EQ(j.at("dtr"), "off");
    EXPECT_EQ(j.at("rts"), "keep");
}

Trace traced(std::initializer_list<std::pair<std::int64_t, char>> bytes)
{
    Trace trace;
    for (const auto& [atUs, byte] : bytes) {
        trace.push_back({atUs, static_cast<unsigned char>(byte)});
    }
    return trace;
}

TEST(Trace, BytesThatCameTogetherShareALineWithTimeHexAndText)
{
    const auto trace = traced({{2107, 'N'}, {2110, 'O'}, {2400, '\r'}, {52611, 'O'}, {52620, 'K'}});
    EXPECT_EQ(traceText("/dev/ttyUSB0", trace),
              "/dev/ttyUSB0: the library read 5 bytes:\n"
              "       2.107 ms  4e 4f 0d  \"NO\\r\"\n"
              "      52.611 ms  4f 4b  \"OK\"\n");
}

TEST(Trace, LongRunsAreCutAndSilenceIsSaid)
{
    Trace run;
    for (int i = 0; i < 20; ++i) {
        run.push_back({1000 + i, static_cast<unsigned char>('a' + i)});
    }
    const std::string text = traceText("P", run);
    EXPECT_NE(text.find("\"abcdefghijklmnop\"\n"), std::string::npos) << text;
    EXPECT_NE(text.find("       1.016 ms  71 72 73 74  \"qrst\"\n"), std::string::npos) << text;
    EXPECT_EQ(traceText("P", {}), "P: the library read nothing\n");
    EXPECT_EQ(traceText("P", traced({{0, 'x'}})), "P: the library read 1 byte:\n       0.000 ms  78  \"x\"\n");
}

TEST(Trace, AsJsonEveryByteWithItsTimeHexAndEscape)
{
    const auto j = traceJson(traced({{1500, 'O'}, {1501, '\n'}, {2000, '\xff'}}));
    ASSERT_EQ(j.size(), 3u);
    EXPECT_DOUBLE_EQ(j[0].at("ms").get<double>(), 1.5);
    EXPECT_EQ(j[0].at("byte"), "4f");
    EXPECT_EQ(j[0].at("char"), "O");
    EXPECT_EQ(j[1].at("char"), "\\n");
    EXPECT_EQ(j[2].at("byte"), "ff");
    EXPECT_EQ(j[2].at("char"), "\\xff");
    EXPECT_TRUE(traceJson({}).is_array());

    PollResult out = result(Status::noMatch, 300);
    EXPECT_FALSE(outcomeJson(polled(out)).contains("trace")) << "only when asked for";
    out.trace = Trace{};
    EXPECT_FALSE(outcomeJson(polled(out)).contains("trace")) << "kept for a JUnit file, not asked for";
    Outcome shown = polled(out);
    shown.showTrace = true;
    EXPECT_EQ(outcomeJson(shown).at("trace"), nlohmann::json::array()) << "asked for, and silence";
}

PollSummary summarize(std::initializer_list<std::pair<Status, long long>> list, std::size_t lateAt = 0)
{
    PollSummary summary;
    std::size_t i = 0;
    for (const auto& [status, ms] : list) {
        PollResult poll = result(status, ms);
        poll.late = ++i == lateAt;
        summary.add(poll);
    }
    return summary;
}

TEST(RepeatSummary, CountsAndNearestRankPercentilesOfTheMatches)
{
    const PollSummary summary = summarize({{Status::matched, 30}, {Status::noMatch, 1000}, {Status::matched, 10},
                                           {Status::matched, 20}, {Status::matched, 40}, {Status::matched, 1200}},
                                          6);
    EXPECT_EQ(summary.polls, 6);
    EXPECT_EQ(summary.matched, 5);
    EXPECT_EQ(summary.late, 1);
    EXPECT_EQ(summary.noMatch, 1);
    EXPECT_EQ(summary.errors, 0);
    const auto latency = summary.times.spread();
    ASSERT_TRUE(latency);
    EXPECT_EQ(latency->minMs, 10);
    EXPECT_EQ(latency->medianMs, 30) << "rank 3 of 5; the no-match's time is not a latency";
    EXPECT_EQ(latency->p90Ms, 1200) << "rank 5 of 5";
    EXPECT_EQ(latency->maxMs, 1200);
    EXPECT_EQ(exitCode(summary.status(false)), 1);

    const PollSummary two = summarize({{Status::matched, 7}, {Status::matched, 9}});
    EXPECT_EQ(two.times.spread()->medianMs, 7);
    EXPECT_EQ(two.times.spread()->p90Ms, 9);
    EXPECT_EQ(exitCode(two.status(true)), 0);
}

TEST(RepeatSummary, ExitStatusFromTheWorstPoll)
{
    const PollSummary lateOnly = summarize({{Status::matched, 5}, {Status::matched, 1500}}, 2);
    EXPECT_EQ(exitCode(lateOnly.status(false)), 0);
    EXPECT_EQ(exitCode(lateOnly.status(true)), 1) << "--strict";
    const PollSummary failed = summarize({{Status::noMatch, 5}, {Status::deviceGone, 0}});
    EXPECT_EQ(exitCode(failed.status(false)), 2);
    EXPECT_EQ(failed.status(false), Status::deviceGone) << "the run's status is its failure's";
    const PollSummary none = summarize({{Status::noMatch, 1000}});
    EXPECT_FALSE(none.times.spread());
    EXPECT_TRUE(summaryJson(none).at("latency_ms").is_null());
}

TEST(RepeatSummary, AsTextAndJson)
{
    const PollSummary summary = summarize({{Status::matched, 12}, {Status::matched, 1500}, {Status::noMatch, 1000}}, 2);
    EXPECT_EQ(summaryText("COM3", summary), "COM3: 3 polls: 2 matched (1 late), 1 no match, 0 errors\n"
                                            "COM3: time to match: min 12 ms, median 12 ms, p90 1500 ms, max 1500 ms\n");
    const auto j = summaryJson(summary);
    EXPECT_EQ(j.at("polls"), 3);
    EXPECT_EQ(j.at("matched"), 2);
    EXPECT_EQ(j.at("late"), 1);
    EXPECT_EQ(j.at("no_match"), 1);
    EXPECT_EQ(j.at("errors"), 0);
    EXPECT_EQ(j.at("latency_ms").at("p90"), 1500);
    EXPECT_EQ(summaryText("P", summarize({{Status::error, 0}})), "P: 1 poll: 0 matched, 0 no match, 1 error\n");
}

TEST(RepeatSummary, TimesInConstantMemoryExactWhereItMatters)
{
    // A million matches between 1 and 1000 ms, and a few long ones: the
    // percentiles are those of the sorted times, to the millisecond below
    // 8 s and within 1/4096 above.
    MatchTimes times;
    for (long long i = 0; i < 1000000; ++i) {
        times.add(1 + i % 1000);
    }
    const auto below = times.spread();
    EXPECT_EQ(below->medianMs, 500);
    EXPECT_EQ(below->p90Ms, 900);
    for (const long long ms : {9000LL, 1000000LL, 2147483647LL + 5000}) {
        MatchTimes one;
        one.add(1);
        one.add(ms);
        one.add(ms);
        EXPECT_EQ(one.spread()->maxMs, ms) << "the max is exact";
        EXPECT_LE(one.spread()->medianMs, ms);
        EXPECT_GE(one.spread()->medianMs, ms - ms / 4096) << ms;
    }
}

TEST(ReadRecord, TellsSilenceTooFewBytesAndTheWrongOnesApart)
{
    EXPECT_EQ(ReadRecord(4, false).kind(), ReplyKind::silent);
    // Two short attempts, each ended by the idle limit: never a whole one.
    ReadRecord short_(4, false);
    for (const std::int64_t atUs : {0, 1000, 2000, 6000000, 6001000, 6002000}) {
        short_.add(atUs, 'O');
    }
    EXPECT_EQ(short_.kind(), ReplyKind::tooShort) << "six bytes, but never four in one attempt";
    ReadRecord wrong(4, true);
    for (const char c : std::string("NOPE")) {
        wrong.add(10, static_cast<unsigned char>(c));
    }
    EXPECT_EQ(wrong.kind(), ReplyKind::wrong);
    EXPECT_EQ(wrong.all()->size(), 4u);
    ReadRecord many(4, false);
    for (int i = 0; i < 100; ++i) {
        many.add(i, static_cast<unsigned char>(i));
    }
    EXPECT_EQ(many.count(), 100u);
    EXPECT_EQ(many.first().size(), ReadRecord::firstKept) << "a chattering device costs no memory";
    EXPECT_FALSE(many.all());

    PollResult miss = result(Status::noMatch, 300);
    miss.receivedBytes = 2;
    miss.firstBytes = toBytes("OK");
    miss.reply = ReplyKind::tooShort;
    EXPECT_EQ(resultLine(request(), miss), "/dev/ttyUSB0: no match within 1000 ms (the poll took 300 ms): 2 bytes "
                                           "came, 4f 4b \"OK\", too few for an attempt");
    const auto j = outcomeJson(polled(miss));
    EXPECT_EQ(j.at("reply"), "short");
    EXPECT_EQ(j.at("received_bytes"), 2);
    EXPECT_EQ(j.at("reply_hex"), "4f 4b");
}

TEST(Monitor, AnArrivalAsALineAndAsAnObject)
{
    EXPECT_EQ(arrivalLine(12345, toBytes("OK\r\n")), "     0.012 s  4f 4b 0d 0a  \"OK\\r\\n\"");
    const auto j = arrivalJson(1500, toBytes("A\x01"));
    EXPECT_DOUBLE_EQ(j.at("ms").get<double>(), 1.5);
    EXPECT_EQ(j.at("hex"), "41 01");
    EXPECT_EQ(j.at("text"), "A\\x01");
}

} // namespace
} // namespace kestrin
