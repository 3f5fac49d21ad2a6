#include "report.h"

namespace kestrin {

std::string resultLine(const PollRequest& request, const PollOutcome& outcome)
{
    const std::string took = std::to_string(outcome.elapsedMs) + " ms";
    if (outcome.status == PollStatus::matched) {
        return request.port + ": matched in " + took;
    }
    return request.port + ": no match within " + std::to_string(request.timeoutMs) + " ms (the poll took " + took
           + ")";
}

nlohmann::json resultJson(const PollRequest& request, const PollOutcome& outcome, const std::string& libraryPath,
                          int libraryVersion)
{
    // Byte strings appear as hex, which survives any byte, and as escaped
    // text for people.
    nlohmann::json j;
    j["port"] = request.port;
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
    if (libraryVersion != 0) {
        j["library"] = libraryPath;
        j["library_version"] = dottedVersion(libraryVersion);
    }
    return j;
}

std::string errorLine(const std::string& port, const std::string& cause)
{
    return "kestrin: " + port + ": " + cause;
}

std::string dottedVersion(int version)
{
    const auto v = static_cast<unsigned>(version);
    return std::to_string((v >> 24) & 0xffu) + "." + std::to_string((v >> 16) & 0xffu) + "."
           + std::to_string((v >> 8) & 0xffu) + "." + std::to_string(v & 0xffu);
}

} // namespace kestrin
