// How the tool fails: everything below the commands throws an Error, and the
// command runner reports it once, either as one line on stderr,
//   kestrin: SUBJECT: what went wrong
// or, with --json, as one object on stdout with "status": "error" and the
// same text in "error". No command prints its own failure.
#ifndef KESTRIN_TOOL_CLI_ERROR_H
#define KESTRIN_TOOL_CLI_ERROR_H

#include <nlohmann/json.hpp>

#include <stdexcept>
#include <string>
#include <utility>

namespace kestrin {

// A failure, worded for the error line. The subject (the port, for
// instance) is the command's to add, so the text starts with the cause:
// "cannot open: No such file or directory". Failures a script must tell
// apart carry a status of their own for the JSON report ("busy",
// "device_gone"); all exit with 2.
class Error : public std::runtime_error {
public:
    explicit Error(const std::string& what, std::string status = "error")
        : std::runtime_error(what), status_(std::move(status))
    {
    }
    const std::string& status() const { return status_; }

private:
    std::string status_;
};

// A mistake in what was typed: its report points to the command's help.
class UsageError : public Error {
public:
    using Error::Error;
};

// What a failing command's report carries beside the cause. A command fills
// it in as it learns more, so that an error says as much as is known.
struct ErrorReport {
    std::string command;  // "poll": usage errors point to "kestrin poll --help"
    bool json = false;    // report as a JSON object on stdout
    std::string subject;  // leads the error line; empty for none
    nlohmann::json fields = nlohmann::json::object(); // more members of the JSON object
};

// The exit status of every error.
const int errorExitCode = 2;

// The error's text as both forms show it: the cause, and for a usage error
// where help is.
std::string errorText(const ErrorReport& report, const Error& error);

// "kestrin: SUBJECT: TEXT", or "kestrin: TEXT" without a subject.
std::string errorLine(const ErrorReport& report, const Error& error);

// The report's fields with the error's "status", "exit_code" and "error".
nlohmann::json errorJson(const ErrorReport& report, const Error& error);

// Prints the error once, in the report's form.
void reportError(const ErrorReport& report, const Error& error);

// One line of JSON on stdout.
void printJson(const nlohmann::json& j);

} // namespace kestrin

#endif
