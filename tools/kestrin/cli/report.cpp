#include "cli/report.h"

#include <fmt/format.h>

namespace kestrin {

std::string resultLine(const PollRequest& request, const PollOutcome& outcome)
{
    if (outcome.status == PollStatus::matched) {
        return fmt::format("{}: matched in {} ms", request.port, outcome.elapsedMs);
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
    j["read_wait_ms"] = request.settings.readWaitMs;
    return j;
}

nlohmann::json libraryJson(const std::string& path, int version)
{
    return {{"library", path}, {"library_version", dottedVersion(version)}};
}

nlohmann::json resultJson(const PollRequest& request, const PollOutcome& outcome, const std::string& libraryPath,
                          int libraryVersion)
{
    nlohmann::json j = requestJson(request);
    j["status"] = outcome.status == PollStatus::matched ? "matched"
                  : outcome.status == PollStatus::noMatch ? "no_match" : "error";
    j["exit_code"] = exitCode(outcome.status);
    if (outcome.status == PollStatus::error) {
        j["error"] = outcome.error;
    } else {
        j["matched"] = outcome.status == PollStatus::matched;
        j["result"] = outcome.result;
        j["elapsed_ms"] = outcome.elapsedMs;
    }
    if (libraryVersion != 0) {
        j.update(libraryJson(libraryPath, libraryVersion));
    }
    return j;
}

std::string dottedVersion(int version)
{
    const auto v = static_cast<unsigned>(version);
    return fmt::format("{}.{}.{}.{}", (v >> 24) & 0xffu, (v >> 16) & 0xffu, (v >> 8) & 0xffu, v & 0xffu);
}

} // namespace kestrin
