// The result line, the JSON object and the live status text.
#include "cli/error.h"
#include "cli/live_status.h"
#include "cli/report.h"

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
    return r;
}

PollOutcome outcome(PollStatus status, long long elapsedMs)
{
    PollOutcome o;
    o.status = status;
    o.result = status == PollStatus::matched ? 1 : 0;
    o.elapsedMs = elapsedMs;
    return o;
}

TEST(ResultLine, MatchGivesTheTime)
{
    EXPECT_EQ(resultLine(request(), outcome(PollStatus::matched, 12)), "/dev/ttyUSB0: matched in 12 ms");
}

TEST(ResultLine, NoMatchGivesTheBudgetAndTheRealDuration)
{
    EXPECT_EQ(resultLine(request(), outcome(PollStatus::noMatch, 5003)),
              "/dev/ttyUSB0: no match within 1000 ms (the poll took 5003 ms)");
}

TEST(ResultJson, MatchCarriesOutcomeRequestAndLibrary)
{
    const auto j = resultJson(request(), outcome(PollStatus::matched, 12), "/lib/libkestrin.so", 0x01000000);
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
    const auto miss = resultJson(request(), outcome(PollStatus::noMatch, 1200), "x", 0x01000000);
    EXPECT_EQ(miss.at("status"), "no_match");
    EXPECT_EQ(miss.at("matched"), false);
    EXPECT_EQ(miss.at("exit_code"), 1);

    PollOutcome failed = outcome(PollStatus::error, 0);
    failed.error = "cannot open: No such file or directory";
    const auto error = resultJson(request(), failed, "", 0);
    EXPECT_EQ(error.at("status"), "error");
    EXPECT_EQ(error.at("exit_code"), 2);
    EXPECT_EQ(error.at("error"), failed.error);
    EXPECT_FALSE(error.contains("matched")) << "no poll ran, so there is no result";
    EXPECT_FALSE(error.contains("library")) << "no library was loaded";
}

TEST(ErrorLine, NamesThePortAndTheCause)
{
    ErrorReport report;
    report.command = "poll";
    report.subject = "COM3";
    EXPECT_EQ(errorLine(report, Error("cannot open: Access is denied")),
              "kestrin: COM3: cannot open: Access is denied");
}

TEST(ErrorLine, WithoutASubjectOnlyTheCause)
{
    ErrorReport report;
    report.command = "about";
    EXPECT_EQ(errorLine(report, Error("cannot load the library x.so: gone")),
              "kestrin: cannot load the library x.so: gone");
}

TEST(ErrorLine, UsageErrorsPointToTheCommandsHelpAndOthersDoNot)
{
    ErrorReport report;
    report.command = "poll";
    report.subject = "/dev/ttyUSB0";
    EXPECT_EQ(errorLine(report, UsageError("unknown baud rate 7")),
              "kestrin: /dev/ttyUSB0: unknown baud rate 7 (see kestrin poll --help)");
    EXPECT_EQ(errorLine(report, Error("cannot open: Permission denied")),
              "kestrin: /dev/ttyUSB0: cannot open: Permission denied");
    report.command.clear();
    report.subject.clear();
    EXPECT_EQ(errorLine(report, UsageError("The following argument was not expected: frob")),
              "kestrin: The following argument was not expected: frob (see kestrin --help)");
}

TEST(ErrorJson, CarriesTheReportsFieldsAndTheLinesText)
{
    ErrorReport report;
    report.command = "poll";
    report.subject = "COM3";
    report.fields = requestJson(request());
    report.fields["status"] = "stale";
    const auto j = errorJson(report, UsageError("parity must be none, even or odd, not 'mark'"));
    EXPECT_EQ(j.at("status"), "error");
    EXPECT_EQ(j.at("exit_code"), 2);
    EXPECT_EQ(j.at("error"), "parity must be none, even or odd, not 'mark' (see kestrin poll --help)");
    EXPECT_EQ(j.at("port"), "/dev/ttyUSB0") << "the fields are the report's, not the subject";
    EXPECT_EQ(j.at("expect_hex"), "4f 4b 0d 0a");
    EXPECT_FALSE(j.contains("matched"));
}

TEST(ErrorJson, ThePollsErrorObjectHasTheShapeOfItsResultObject)
{
    // A failure before the poll ran and one recorded as a poll's outcome
    // must read the same to a test station.
    PollOutcome failed = outcome(PollStatus::error, 0);
    failed.error = "cannot open: No such file or directory";
    ErrorReport report;
    report.command = "poll";
    report.fields = requestJson(request());
    report.fields.update(libraryJson("/lib/libkestrin.so", 0x01000000));
    EXPECT_EQ(errorJson(report, Error(failed.error)),
              resultJson(request(), failed, "/lib/libkestrin.so", 0x01000000));
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
    PollOutcome late = outcome(PollStatus::matched, 1502);
    late.late = true;
    EXPECT_EQ(resultLine(request(), late), "/dev/ttyUSB0: matched in 1502 ms, late: after the budget of 1000 ms");
    const auto j = resultJson(request(), late, "x", 0x01000000);
    EXPECT_EQ(j.at("late"), true);
    EXPECT_EQ(j.at("exit_code"), 0);
    EXPECT_EQ(resultJson(request(), late, "x", 0x01000000, true).at("exit_code"), 1) << "--strict";
    EXPECT_EQ(resultJson(request(), late, "x", 0x01000000, true).at("status"), "matched");
    EXPECT_EQ(resultJson(request(), outcome(PollStatus::matched, 12), "x", 0x01000000, true).at("exit_code"), 0);
    EXPECT_EQ(resultJson(request(), outcome(PollStatus::noMatch, 12), "x", 0x01000000).at("late"), false);
}

TEST(ResultJson, ADeviceThatWentAwayHasAStatusOfItsOwn)
{
    PollOutcome gone = outcome(PollStatus::error, 0);
    gone.error = "the device went away during the poll (the port hung up or failed)";
    gone.errorStatus = "device_gone";
    const auto j = resultJson(request(), gone, "x", 0x01000000);
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

std::vector<TracedByte> traced(std::initializer_list<std::pair<std::int64_t, char>> bytes)
{
    std::vector<TracedByte> trace;
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
    std::vector<TracedByte> run;
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

    PollOutcome out = outcome(PollStatus::noMatch, 300);
    EXPECT_FALSE(resultJson(request(), out, "x", 1).contains("trace")) << "only when asked for";
    out.traced = true;
    EXPECT_EQ(resultJson(request(), out, "x", 1).at("trace"), nlohmann::json::array()) << "asked for, and silence";
}

std::vector<PollOutcome> outcomes(std::initializer_list<std::pair<PollStatus, long long>> list)
{
    std::vector<PollOutcome> all;
    for (const auto& [status, ms] : list) {
        all.push_back(outcome(status, ms));
    }
    return all;
}

TEST(RepeatSummary, CountsAndNearestRankPercentilesOfTheMatches)
{
    auto polls = outcomes({{PollStatus::matched, 30}, {PollStatus::noMatch, 1000}, {PollStatus::matched, 10},
                           {PollStatus::matched, 20}, {PollStatus::matched, 40}, {PollStatus::matched, 1200}});
    polls.back().late = true;
    const RepeatSummary summary = summarize(polls);
    EXPECT_EQ(summary.polls, 6);
    EXPECT_EQ(summary.matched, 5);
    EXPECT_EQ(summary.late, 1);
    EXPECT_EQ(summary.noMatch, 1);
    EXPECT_EQ(summary.errors, 0);
    ASSERT_TRUE(summary.latency);
    EXPECT_EQ(summary.latency->minMs, 10);
    EXPECT_EQ(summary.latency->medianMs, 30) << "rank 3 of 5; the no-match's time is not a latency";
    EXPECT_EQ(summary.latency->p90Ms, 1200) << "rank 5 of 5";
    EXPECT_EQ(summary.latency->maxMs, 1200);
    EXPECT_EQ(exitCode(summary, false), 1);

    const RepeatSummary two = summarize(outcomes({{PollStatus::matched, 7}, {PollStatus::matched, 9}}));
    EXPECT_EQ(two.latency->medianMs, 7);
    EXPECT_EQ(two.latency->p90Ms, 9);
    EXPECT_EQ(exitCode(two, true), 0);
}

TEST(RepeatSummary, ExitStatusFromTheWorstPoll)
{
    auto lateOnly = outcomes({{PollStatus::matched, 5}, {PollStatus::matched, 1500}});
    lateOnly[1].late = true;
    EXPECT_EQ(exitCode(summarize(lateOnly), false), 0);
    EXPECT_EQ(exitCode(summarize(lateOnly), true), 1) << "--strict";
    const auto failed = outcomes({{PollStatus::noMatch, 5}, {PollStatus::error, 0}});
    EXPECT_EQ(exitCode(summarize(failed), false), 2);
    const RepeatSummary none = summarize(outcomes({{PollStatus::noMatch, 1000}}));
    EXPECT_FALSE(none.latency);
    EXPECT_TRUE(summaryJson(none).at("latency_ms").is_null());
}

TEST(RepeatSummary, AsTextAndJson)
{
    auto polls = outcomes({{PollStatus::matched, 12}, {PollStatus::matched, 1500}, {PollStatus::noMatch, 1000}});
    polls[1].late = true;
    const RepeatSummary summary = summarize(polls);
    EXPECT_EQ(summaryText("COM3", summary), "COM3: 3 polls: 2 matched (1 late), 1 no match, 0 errors\n"
                                            "COM3: time to match: min 12 ms, median 12 ms, p90 1500 ms, max 1500 ms\n");
    const auto j = summaryJson(summary);
    EXPECT_EQ(j.at("polls"), 3);
    EXPECT_EQ(j.at("matched"), 2);
    EXPECT_EQ(j.at("late"), 1);
    EXPECT_EQ(j.at("no_match"), 1);
    EXPECT_EQ(j.at("errors"), 0);
    EXPECT_EQ(j.at("latency_ms").at("p90"), 1500);
    EXPECT_EQ(summaryText("P", summarize(outcomes({{PollStatus::error, 0}}))),
              "P: 1 poll: 0 matched, 0 no match, 1 error\n");
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
