#include "cli/error.h"

#include <fmt/format.h>

#include <cstdio>

namespace kestrin {

std::string errorText(const ErrorReport& report, const Error& error)
{
    if (dynamic_cast<const UsageError*>(&error) != nullptr) {
        return fmt::format("{} (see kestrin {}--help)", error.what(),
                           report.command.empty() ? "" : report.command + " ");
    }
    return error.what();
}

std::string errorLine(const ErrorReport& report, const Error& error)
{
    if (report.subject.empty()) {
        return fmt::format("kestrin: {}", errorText(report, error));
    }
    return fmt::format("kestrin: {}: {}", report.subject, errorText(report, error));
}

nlohmann::json errorJson(const ErrorReport& report, const Error& error)
{
    nlohmann::json j = report.fields;
    j["status"] = error.status();
    j["exit_code"] = errorExitCode;
    j["error"] = errorText(report, error);
    return j;
}

void reportError(const ErrorReport& report, const Error& error)
{
    if (report.json) {
        printJson(errorJson(report, error));
    } else {
        fmt::print(stderr, "{}\n", errorLine(report, error));
        std::fflush(stderr);
    }
}

void printJson(const nlohmann::json& j)
{
    // Port names and paths are not always UTF-8; never fail on them.
    fmt::print("{}\n", j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
    std::fflush(stdout);
}

} // namespace kestrin
