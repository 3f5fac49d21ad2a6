#include "cli/report.h"

#include <fmt/format.h>

namespace kestrin {

namespace {

// Bytes that arrive further apart than this start a new line of the trace:
// a reply sent in one go stays on one line, one sent byte by byte does not.
const std::int64_t groupGapUs = 5000;
const std::size_t groupMost = 16;

// Milliseconds to the microsecond, as JSON numbers with three decimals.
double milliseconds(std::int64_t us)
{
    return static_cast<double>(us) / 1000.0;
}

std::string quoted(const Bytes& bytes)
{
    return "\"" + escapeBytes(bytes) + "\"";
}

} // namespace

std::string resultLine(const PollRequest& request, const PollOutcome& outcome)
{
    if (outcome.status == PollStatus::matched) {
        if (outcome.late) {
            return fmt::format("{}: matched in {} ms, late: after the budget of {} ms", request.port,
                               outcome.elapsedMs, request.timeoutMs);
        }
        return fmt::format("{}: matched in {} ms", request.port, outcome.elapsedMs);
    }
    if (outcome.status == PollStatus::error) {
        return fmt::format("{}: {}", request.port, outcome.error);
    }
    return fmt::format("{}: no match within {} ms (the poll took {} ms)", request.port, request.timeoutMs,
                       outcome.elapsedMs);
}

nlohmann::json requestJson(const PollRequest& request)
{
    // Byte strings appear as hex, which survives any byte, and as escaped
    // text for people.
    nlohmann::json j;
    j["port"] = request.port;
    j["timeout_ms"] = request.timeoutMs;
    j["expect"] = escapeBytes(request.expect);
    j["expect_hex"] = hexBytes(request.expect);
    j["sent"] = escapeBytes(request.send);
    j["sent_hex"] = hexBytes(request.send);
    j["baud"] = request.settings.baud;
    j["data_bits"] = request.settings.dataBits;
    j["parity"] = parityName(request.settings.parity);
    j["stop_bits"] = request.settings.stopBits;
    j["flow"] = flowName(request.settings.flow);
    j["dtr"] = lineName(request.settings.dtr);
    j["rts"] = lineName(request.settings.rts);
    j["read_wait_ms"] = request.settings.readWaitMs;
    return j;
}

nlohmann::json libraryJson(const std::string& path, int version)
{
    return {{"library", path}, {"library_version", dottedVersion(version)}};
}

nlohmann::json outcomeJson(const PollOutcome& outcome, bool strict)
{
    nlohmann::json j;
    j["status"] = outcome.status == PollStatus::matched ? "matched"
                  : outcome.status == PollStatus::noMatch ? "no_match"
                  : outcome.errorStatus.empty() ? "error" : outcome.errorStatus;
    j["exit_code"] = exitCode(outcome, strict);
    if (outcome.status == PollStatus::error) {
        j["error"] = outcome.error;
    } else {
        j["matched"] = outcome.status == PollStatus::matched;
        j["result"] = outcome.result;
        j["elapsed_ms"] = outcome.elapsedMs;
        j["late"] = outcome.late;
    }
    if (outcome.traced) {
        j["trace"] = traceJson(outcome.trace);
    }
    return j;
}

nlohmann::json resultJson(const PollRequest& request, const PollOutcome& outcome, const std::string& libraryPath,
                          int libraryVersion, bool strict)
{
    nlohmann::json j = requestJson(request);
    j.update(outcomeJson(outcome, strict));
    if (libraryVersion != 0) {
        j.update(libraryJson(libraryPath, libraryVersion));
    }
    return j;
}

std::string traceText(const std::string& port, const std::vector<TracedByte>& trace)
{
    if (trace.empty()) {
        return fmt::format("{}: the library read nothing\n", port);
    }
    std::string text = fmt::format("{}: the library read {} byte{}:\n", port, trace.size(), trace.size() == 1 ? "" : "s");
    auto out = std::back_inserter(text);
    std::size_t i = 0;
    while (i < trace.size()) {
        const std::int64_t at = trace[i].atUs;
        Bytes group{trace[i].byte};
        for (++i; i < trace.size() && group.size() < groupMost && trace[i].atUs - trace[i - 1].atUs <= groupGapUs;
             ++i) {
            group.push_back(trace[i].byte);
        }
        fmt::format_to(out, "  {:10.3f} ms  {}  {}\n", milliseconds(at), hexBytes(group), quoted(group));
    }
    return text;
}

nlohmann::json traceJson(const std::vector<TracedByte>& trace)
{
    nlohmann::json list = nlohmann::json::array();
    for (const TracedByte& traced : trace) {
        const Bytes one{traced.byte};
        list.push_back({{"ms", milliseconds(traced.atUs)}, {"byte", hexBytes(one)}, {"char", escapeBytes(one)}});
    }
    return list;
}

std::string summaryText(const std::string& port, const RepeatSummary& summary)
{
    std::string text = fmt::format("{}: {} poll{}: {} matched", port, summary.polls, summary.polls == 1 ? "" : "s",
                                   summary.matched);
    if (summary.late > 0) {
        fmt::format_to(std::back_inserter(text), " ({} late)", summary.late);
    }
    fmt::format_to(std::back_inserter(text), ", {} no match, {} error{}\n", summary.noMatch, summary.errors,
                   summary.errors == 1 ? "" : "s");
    if (summary.latency) {
        const LatencySpread& l = *summary.latency;
        fmt::format_to(std::back_inserter(text), "{}: time to match: min {} ms, median {} ms, p90 {} ms, max {} ms\n",
                       port, l.minMs, l.medianMs, l.p90Ms, l.maxMs);
    }
    return text;
}

nlohmann::json summaryJson(const RepeatSummary& summary)
{
    nlohmann::json j = {{"polls", summary.polls},     {"matched", summary.matched}, {"no_match", summary.noMatch},
                        {"late", summary.late},       {"errors", summary.errors}};
    if (summary.latency) {
        const LatencySpread& l = *summary.latency;
        j["latency_ms"] = {{"min", l.minMs}, {"median", l.medianMs}, {"p90", l.p90Ms}, {"max", l.maxMs}};
    } else {
        j["latency_ms"] = nullptr;
    }
    return j;
}

std::string arrivalLine(std::int64_t atUs, const Bytes& bytes)
{
    return fmt::format("{:10.3f} s  {}  {}", static_cast<double>(atUs) / 1e6, hexBytes(bytes), quoted(bytes));
}

nlohmann::json arrivalJson(std::int64_t atUs, const Bytes& bytes)
{
    return {{"ms", milliseconds(atUs)}, {"hex", hexBytes(bytes)}, {"text", escapeBytes(bytes)}};
}

std::string dottedVersion(int version)
{
    const auto v = static_cast<unsigned>(version);
    return fmt::format("{}.{}.{}.{}", (v >> 24) & 0xffu, (v >> 16) & 0xffu, (v >> 8) & 0xffu, v & 0xffu);
}

} // namespace kestrin
