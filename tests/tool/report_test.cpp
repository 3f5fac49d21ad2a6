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

} // namespace
} // namespace kestrin
