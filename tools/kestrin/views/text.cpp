#include "views/text.h"

#include "views/output.h"
#include "views/view.h"

#include <fmt/format.h>

#include <vector>

namespace kestrin {

namespace {

// Bytes that arrive further apart than this start a new line of the trace:
// a reply sent in one go stays on one line, one sent byte by byte does not.
const std::int64_t groupGapUs = 5000;
const std::size_t groupMost = 16;

std::string quoted(const Bytes& bytes)
{
    return "\"" + escapeBytes(bytes) + "\"";
}

std::string usbIds(const PortListing& port)
{
    return port.usbVendorId == 0 && port.usbProductId == 0
               ? ""
               : fmt::format("USB {:04x}:{:04x}", port.usbVendorId, port.usbProductId);
}

// How many bytes came and, when some did, the first of them.
std::string bytesThatCame(const PollResult& poll, const char* what)
{
    const std::uint64_t n = poll.receivedBytes.value_or(poll.firstBytes.size());
    std::string text = fmt::format("{} {}byte{} came", n, what, n == 1 ? "" : "s");
    if (!poll.firstBytes.empty()) {
        fmt::format_to(std::back_inserter(text), "{} {} {}", n > poll.firstBytes.size() ? ", the first" : ",",
                       hexBytes(poll.firstBytes), quoted(poll.firstBytes));
    }
    return text;
}

class TextView : public View {
public:
    void pollDone(const Outcome& run, std::int64_t number, const PollResult& poll) override
    {
        const PollRequest& request = *run.request;
        std::string text = poll.trace && run.showTrace ? traceText(request.port, *poll.trace) : "";
        text += fmt::format("[{}/{}] {}\n", number, run.repeat, resultLine(request, poll));
        writeOut(text);
    }

    void opened(const Outcome& run) override
    {
        // Named by identity: which port that was, and when it came.
        if (!run.selector.empty() && run.identity) {
            std::string line = fmt::format("kestrin: {}: {}", run.selector, run.identity->port);
            if (run.waitedMs && *run.waitedMs > 0) {
                fmt::format_to(std::back_inserter(line), ", after waiting {} ms", *run.waitedMs);
            }
            writeErr(printable(line) + "\n");
        } else if (run.waitedMs && *run.waitedMs > 0) {
            writeErr(printable(fmt::format("kestrin: {}: there after waiting {} ms", run.subject, *run.waitedMs)) +
                     "\n");
        }
    }

    void monitoring(const Outcome& run, std::uint32_t baud, bool untilStopped) override
    {
        const bool relay = run.monitor && !run.monitor->link.empty();
        writeErr(fmt::format("kestrin: {} {} at {} baud{}{}\n", relay ? "relaying" : "monitoring",
                             printable(run.subject), baud,
                             relay ? " for " + printable(run.monitor->link) : std::string(),
                             untilStopped ? ", Ctrl-C to stop" : ""));
    }

    void arrived(std::int64_t atUs, const Bytes& bytes) override { writeOut(arrivalLine(atUs, bytes) + "\n"); }

    void relayed(std::int64_t atUs, const Bytes& bytes, bool toDevice) override
    {
        writeOut(fmt::format("{:10.3f} s  {}  {}  {}\n", static_cast<double>(atUs) / 1e6, toDevice ? "->" : "<-",
                             hexBytes(bytes), quoted(bytes)));
    }

    void deviceEvent(const Outcome& run, std::int64_t atUs, bool back, const std::string& cause) override
    {
        const std::string port = run.identity ? run.identity->port : run.subject;
        writeErr(printable(back ? fmt::format("kestrin: {}: back at {:.3f} s", port, static_cast<double>(atUs) / 1e6)
                                : fmt::format("kestrin: {}: {} at {:.3f} s; waiting for it to come back", port,
                                              cause, static_cast<double>(atUs) / 1e6)) +
                 "\n");
    }

    void finished(const Outcome& outcome) override
    {
        if (outcome.ports) {
            listPorts(*outcome.ports);
        } else if (outcome.about && outcome.library) {
            writeOut(fmt::format("Library:  {}\nVersion:  {} ({})\n\n{}", printable(outcome.library->path),
                                 outcome.library->version, dottedVersion(outcome.library->version), *outcome.about));
        } else if (outcome.request) {
            finishPoll(outcome);
        } else if (outcome.monitor) {
            finishMonitor(outcome);
        }
        if (isFailure(outcome.status) || (outcome.status == Status::interrupted && !outcome.monitor)) {
            writeErr(errorLine(outcome) + "\n");
        }
    }

private:
    static void finishPoll(const Outcome& outcome)
    {
        const PollRequest& request = *outcome.request;
        if (outcome.summary) {
            writeOut(summaryText(request.port, *outcome.summary));
        } else if (outcome.poll) {
            std::string text =
                outcome.poll->trace && outcome.showTrace ? traceText(request.port, *outcome.poll->trace) : "";
            if (!isFailure(outcome.poll->status)) {
                text += resultLine(request, *outcome.poll) + "\n";
            }
            writeOut(text);
        }
    }

    static void finishMonitor(const Outcome& outcome)
    {
        const MonitorTally& tally = *outcome.monitor;
        if (outcome.status == Status::interrupted) {
            writeErr(fmt::format("kestrin: {}: interrupted after {} bytes\n", printable(outcome.subject), tally.bytes));
        } else if (!isFailure(outcome.status) && !tally.link.empty()) {
            writeErr(fmt::format("kestrin: {}: {} bytes from the device and {} to it in {:.1f} s\n",
                                 printable(outcome.subject), tally.bytes, tally.sentBytes,
                                 static_cast<double>(tally.elapsedUs) / 1e6));
        } else if (!isFailure(outcome.status)) {
            writeErr(fmt::format("kestrin: {}: {} bytes in {:.1f} s\n", printable(outcome.subject), tally.bytes,
                                 static_cast<double>(tally.elapsedUs) / 1e6));
        }
    }

    static void listPorts(const std::vector<PortListing>& ports)
    {
        if (ports.empty()) {
            // Not an error: a machine may well have none.
            writeErr("kestrin: no serial ports found\n");
        }
        std::string text;
        for (const PortListing& port : ports) {
            text += portText(port) + "\n";
        }
        writeOut(text);
    }
};

} // namespace

std::string resultLine(const PollRequest& request, const PollResult& poll)
{
    const std::string port = printable(request.port);
    if (poll.status == Status::matched) {
        if (poll.late) {
            return fmt::format("{}: matched in {} ms, late: after the budget of {} ms", port, poll.elapsedMs,
                               request.timeoutMs);
        }
        return fmt::format("{}: matched in {} ms", port, poll.elapsedMs);
    }
    if (poll.status == Status::noMatch) {
        return fmt::format("{}: no match within {} ms (the poll took {} ms){}", port, request.timeoutMs,
                           poll.elapsedMs, poll.reply ? ": " + replyText(poll) : "");
    }
    return printable(fmt::format("{}: {}", request.port, poll.error));
}

std::string replyText(const PollResult& poll)
{
    switch (poll.reply.value_or(ReplyKind::silent)) {
    case ReplyKind::silent: return "nothing came";
    case ReplyKind::tooShort: return bytesThatCame(poll, "") + ", too few for an attempt";
    case ReplyKind::wrong: break;
    }
    return bytesThatCame(poll, "other ");
}

std::string traceText(const std::string& port, const Trace& trace)
{
    const std::string shown = printable(port);
    if (trace.empty()) {
        return fmt::format("{}: the library read nothing\n", shown);
    }
    std::string text =
        fmt::format("{}: the library read {} byte{}:\n", shown, trace.size(), trace.size() == 1 ? "" : "s");
    auto out = std::back_inserter(text);
    std::size_t i = 0;
    while (i < trace.size()) {
        const std::int64_t at = trace[i].atUs;
        Bytes group{trace[i].byte};
        for (++i; i < trace.size() && group.size() < groupMost && trace[i].atUs - trace[i - 1].atUs <= groupGapUs;
             ++i) {
            group.push_back(trace[i].byte);
        }
        fmt::format_to(out, "  {:10.3f} ms  {}  {}\n", static_cast<double>(at) / 1000.0, hexBytes(group),
                       quoted(group));
    }
    return text;
}

std::string summaryText(const std::string& port, const PollSummary& summary)
{
    const std::string shown = printable(port);
    std::string text = fmt::format("{}: {} poll{}: {} matched", shown, summary.polls, summary.polls == 1 ? "" : "s",
                                   summary.matched);
    auto out = std::back_inserter(text);
    if (summary.late > 0) {
        fmt::format_to(out, " ({} late)", summary.late);
    }
    fmt::format_to(out, ", {} no match, {} error{}", summary.noMatch, summary.errors, summary.errors == 1 ? "" : "s");
    if (summary.reconnects > 0) {
        fmt::format_to(out, ", {} reconnect{}", summary.reconnects, summary.reconnects == 1 ? "" : "s");
    }
    text += "\n";
    if (const auto l = summary.times.spread()) {
        fmt::format_to(out, "{}: time to match: min {} ms, median {} ms, p90 {} ms, max {} ms\n", shown, l->minMs,
                       l->medianMs, l->p90Ms, l->maxMs);
    }
    return text;
}

std::string arrivalLine(std::int64_t atUs, const Bytes& bytes)
{
    return fmt::format("{:10.3f} s  {}  {}", static_cast<double>(atUs) / 1e6, hexBytes(bytes), quoted(bytes));
}

std::string portText(const PortListing& port)
{
    std::vector<std::string> facts;
    for (const std::string& fact : {port.description, port.manufacturer, usbIds(port),
                                    port.serialNumber.empty() ? std::string() : "serial " + port.serialNumber,
                                    port.location.empty() ? std::string() : "location " + port.location,
                                    port.hardwareId}) {
        if (!fact.empty()) {
            facts.push_back(fact);
        }
    }
    std::string text =
        printable(facts.empty() ? port.port : fmt::format("{}: {}", port.port, fmt::join(facts, ", ")));
    if (!port.stableName.empty()) {
        text += "\n    " + printable(port.stableName);
    }
    return text;
}

std::string errorText(const Outcome& outcome)
{
    if (outcome.status == Status::usage) {
        return fmt::format("{} (see kestrin {}--help)", outcome.error,
                           outcome.command.empty() ? "" : outcome.command + " ");
    }
    if (outcome.status == Status::interrupted) {
        return "interrupted";
    }
    return outcome.error;
}

std::string errorLine(const Outcome& outcome)
{
    const std::string text = outcome.subject.empty() ? fmt::format("kestrin: {}", errorText(outcome))
                                                     : fmt::format("kestrin: {}: {}", outcome.subject, errorText(outcome));
    return printable(text);
}

std::unique_ptr<View> makeTextView()
{
    return std::make_unique<TextView>();
}

namespace {

class BothViews : public View {
public:
    BothViews(std::unique_ptr<View> first, std::unique_ptr<View> second)
        : first_(std::move(first)), second_(std::move(second))
    {
    }
    void opened(const Outcome& run) override
    {
        first_->opened(run);
        second_->opened(run);
    }
    void pollDone(const Outcome& run, std::int64_t number, const PollResult& poll) override
    {
        first_->pollDone(run, number, poll);
        second_->pollDone(run, number, poll);
    }
    void monitoring(const Outcome& run, std::uint32_t baud, bool untilStopped) override
    {
        first_->monitoring(run, baud, untilStopped);
        second_->monitoring(run, baud, untilStopped);
    }
    void arrived(std::int64_t atUs, const Bytes& bytes) override
    {
        first_->arrived(atUs, bytes);
        second_->arrived(atUs, bytes);
    }
    void relayed(std::int64_t atUs, const Bytes& bytes, bool toDevice) override
    {
        first_->relayed(atUs, bytes, toDevice);
        second_->relayed(atUs, bytes, toDevice);
    }
    void deviceEvent(const Outcome& run, std::int64_t atUs, bool back, const std::string& cause) override
    {
        first_->deviceEvent(run, atUs, back, cause);
        second_->deviceEvent(run, atUs, back, cause);
    }
    void finished(const Outcome& outcome) override
    {
        // The record for CI is written even when the first report cannot be.
        try {
            first_->finished(outcome);
        } catch (const std::exception&) {
            second_->finished(outcome);
            throw;
        }
        second_->finished(outcome);
    }

private:
    std::unique_ptr<View> first_;
    std::unique_ptr<View> second_;
};

} // namespace

std::unique_ptr<View> bothViews(std::unique_ptr<View> first, std::unique_ptr<View> second)
{
    return std::make_unique<BothViews>(std::move(first), std::move(second));
}

} // namespace kestrin
