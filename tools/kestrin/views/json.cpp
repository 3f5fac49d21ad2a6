#include "views/json.h"

#include "views/output.h"
#include "views/text.h"
#include "views/view.h"

#include <fmt/format.h>

namespace kestrin {

namespace {

// Milliseconds to the microsecond, as JSON numbers with three decimals.
double milliseconds(std::int64_t us)
{
    return static_cast<double>(us) / 1000.0;
}

// The status and exit code, and for a failure its cause.
void addStatus(nlohmann::json& j, Status status, int exit, const std::string& error)
{
    j["status"] = statusName(status);
    j["exit_code"] = exit;
    if (isFailure(status)) {
        j["error"] = error;
    }
}

// An object's members without its braces, to write one object in parts.
std::string members(const nlohmann::json& j)
{
    const std::string text = jsonLine(j);
    return text.size() > 2 ? text.substr(1, text.size() - 2) : "";
}

// --repeat's object is written as the polls come, so that a long run needs
// no memory for them: its head with the first poll, each poll as it ends,
// and its tail at the end. The members are those of the one object a run
// without --repeat prints, in the same line.
class JsonView : public View {
public:
    void pollDone(const Outcome& run, std::int64_t number, const PollResult& poll) override
    {
        nlohmann::json entry = {{"poll", number}};
        entry.update(pollJson(poll, run.strict, run.showTrace));
        if (!headWritten_) {
            nlohmann::json head = requestJson(*run.request);
            if (run.library) {
                head.update(libraryJson(*run.library));
            }
            head.update(recordJson(run));
            head["repeat"] = run.repeat;
            writeOut("{" + members(head) + ",\"polls\":[" + jsonLine(entry));
            headWritten_ = true;
            return;
        }
        writeOut("," + jsonLine(entry));
    }

    void opened(const Outcome&) override {}

    void monitoring(const Outcome&, std::uint32_t, bool) override {}

    void arrived(std::int64_t atUs, const Bytes& bytes) override { writeOut(jsonLine(arrivalJson(atUs, bytes)) + "\n"); }

    void relayed(std::int64_t atUs, const Bytes& bytes, bool toDevice) override
    {
        nlohmann::json j = arrivalJson(atUs, bytes);
        j["from"] = toDevice ? "host" : "device";
        writeOut(jsonLine(j) + "\n");
    }

    void deviceEvent(const Outcome& run, std::int64_t atUs, bool back, const std::string& cause) override
    {
        nlohmann::json j = {{"event", back ? "back" : "gone"},
                            {"ms", milliseconds(atUs)},
                            {"port", run.identity ? run.identity->port : run.subject}};
        if (back && run.waitedMs) {
            j["waited_ms"] = *run.waitedMs;
        } else if (!back) {
            j["error"] = cause;
        }
        writeOut(jsonLine(j) + "\n");
    }

    void finished(const Outcome& outcome) override
    {
        if (!headWritten_) {
            writeOut(jsonLine(outcomeJson(outcome)) + "\n");
            return;
        }
        nlohmann::json tail = {{"summary", summaryJson(*outcome.summary)}};
        addStatus(tail, outcome.status, exitCode(outcome), errorText(outcome));
        writeOut("]," + members(tail) + "}\n");
    }

private:
    bool headWritten_ = false;
};

} // namespace

nlohmann::json requestJson(const PollRequest& request)
{
    // Byte strings appear as hex, which survives any byte, and as escaped
    // text for people.
    nlohmann::json j = {{"port", request.port}};
    if (request.timeoutRead) {
        j["timeout_ms"] = request.timeoutMs;
    }
    if (request.expectRead) {
        j["expect"] = escapeBytes(request.expect);
        j["expect_hex"] = hexBytes(request.expect);
    }
    if (request.sendRead) {
        j["sent"] = escapeBytes(request.send);
        j["sent_hex"] = hexBytes(request.send);
    }
    if (request.settingsRead) {
        const PortSettings& s = request.settings;
        j["baud"] = s.baud;
        j["data_bits"] = s.dataBits;
        j["parity"] = parityName(s.parity);
        j["stop_bits"] = s.stopBits;
        j["flow"] = flowName(s.flow);
        j["dtr"] = lineName(s.dtr);
        j["rts"] = lineName(s.rts);
        j["read_wait_ms"] = s.readWaitMs;
    }
    return j;
}

nlohmann::json libraryJson(const LibraryInfo& library)
{
    return {{"library", library.path}, {"library_version", dottedVersion(library.version)}};
}

nlohmann::json pollJson(const PollResult& poll, bool strict, bool withTrace)
{
    nlohmann::json j;
    addStatus(j, poll.status, exitCode(poll.status, strict && poll.late), poll.error);
    if (!isFailure(poll.status)) {
        j["matched"] = poll.status == Status::matched;
        j["result"] = poll.result;
        j["elapsed_ms"] = poll.elapsedMs;
        j["late"] = poll.late;
    }
    if (poll.receivedBytes) {
        j["received_bytes"] = *poll.receivedBytes;
    }
    if (poll.reply) {
        j["reply"] = replyName(*poll.reply);
        if (!poll.firstBytes.empty()) {
            // The first bytes, as text and hex: enough to tell a wrong
            // device or baud rate from an echo.
            j["reply_hex"] = hexBytes(poll.firstBytes);
            j["reply_text"] = escapeBytes(poll.firstBytes);
        }
    }
    if (poll.trace && withTrace) {
        j["trace"] = traceJson(*poll.trace);
    }
    return j;
}

nlohmann::json recordJson(const Outcome& outcome)
{
    nlohmann::json j = nlohmann::json::object();
    if (!outcome.selector.empty()) {
        j["selector"] = outcome.selector;
    }
    if (outcome.identity) {
        nlohmann::json identity = portJson(*outcome.identity);
        identity.erase("port");
        j["identity"] = identity;
    }
    if (outcome.waitedMs) {
        j["waited_ms"] = *outcome.waitedMs;
    }
    if (!outcome.startedAt.empty()) {
        j["started_at"] = outcome.startedAt;
        j["host"] = outcome.host;
        nlohmann::json labels = nlohmann::json::object();
        for (const auto& [key, value] : outcome.labels) {
            labels[key] = value;
        }
        j["labels"] = labels;
    }
    return j;
}

nlohmann::json traceJson(const Trace& trace)
{
    nlohmann::json list = nlohmann::json::array();
    for (const TracedByte& traced : trace) {
        const Bytes one{traced.byte};
        list.push_back({{"ms", milliseconds(traced.atUs)}, {"byte", hexBytes(one)}, {"char", escapeBytes(one)}});
    }
    return list;
}

nlohmann::json summaryJson(const PollSummary& summary)
{
    nlohmann::json j = {{"polls", summary.polls},
                        {"matched", summary.matched},
                        {"no_match", summary.noMatch},
                        {"late", summary.late},
                        {"errors", summary.errors},
                        {"reconnects", summary.reconnects}};
    if (const auto l = summary.times.spread()) {
        j["latency_ms"] = {{"min", l->minMs}, {"median", l->medianMs}, {"p90", l->p90Ms}, {"max", l->maxMs}};
    } else {
        j["latency_ms"] = nullptr;
    }
    return j;
}

nlohmann::json arrivalJson(std::int64_t atUs, const Bytes& bytes)
{
    return {{"ms", milliseconds(atUs)}, {"hex", hexBytes(bytes)}, {"text", escapeBytes(bytes)}};
}

nlohmann::json portJson(const PortListing& port)
{
    nlohmann::json j = {{"port", port.port}, {"description", port.description}, {"manufacturer", port.manufacturer},
                        {"serial_number", port.serialNumber}};
    const bool usb = port.usbVendorId != 0 || port.usbProductId != 0;
    j["usb_vendor_id"] = usb ? nlohmann::json(fmt::format("{:04x}", port.usbVendorId)) : nlohmann::json(nullptr);
    j["usb_product_id"] = usb ? nlohmann::json(fmt::format("{:04x}", port.usbProductId)) : nlohmann::json(nullptr);
    j["stable_name"] = port.stableName;
    j["hardware_id"] = port.hardwareId;
    j["location"] = port.location;
    return j;
}

nlohmann::json outcomeJson(const Outcome& outcome)
{
    if (outcome.ports && !isFailure(outcome.status)) {
        nlohmann::json list = nlohmann::json::array();
        for (const PortListing& port : *outcome.ports) {
            list.push_back(portJson(port));
        }
        return list;
    }
    nlohmann::json j = nlohmann::json::object();
    if (outcome.request) {
        j = requestJson(*outcome.request);
    } else if (!outcome.subject.empty()) {
        j["port"] = outcome.subject;
    }
    if (outcome.library) {
        j.update(libraryJson(*outcome.library));
    }
    if (outcome.about && outcome.library) {
        j["version"] = outcome.library->version;
        j["about"] = *outcome.about;
        j["tool_version"] = KESTRIN_TOOL_VERSION;
    }
    if (outcome.monitor) {
        j["bytes"] = outcome.monitor->bytes;
        j["elapsed_ms"] = milliseconds(outcome.monitor->elapsedUs);
        if (!outcome.monitor->link.empty()) {
            j["link"] = outcome.monitor->link;
            j["sent_bytes"] = outcome.monitor->sentBytes;
        }
    }
    if (outcome.summary) {
        j["repeat"] = outcome.repeat;
        j["polls"] = nlohmann::json::array();
        j["summary"] = summaryJson(*outcome.summary);
    }
    if (outcome.poll) {
        j.update(pollJson(*outcome.poll, outcome.strict, outcome.showTrace));
    }
    j.update(recordJson(outcome));
    addStatus(j, outcome.status, exitCode(outcome), errorText(outcome));
    return j;
}

std::string jsonLine(const nlohmann::json& j)
{
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::unique_ptr<View> makeJsonView()
{
    return std::make_unique<JsonView>();
}

} // namespace kestrin
