// The tool's one error convention. A function that cannot do what it was
// asked throws Error, worded for the error line and carrying the status a
// script must tell apart (busy, device gone, usage); nothing returns a
// failure flag or message instead. The command runner turns it into the
// command's outcome, which is reported once.
#ifndef KESTRIN_TOOL_BASE_ERROR_H
#define KESTRIN_TOOL_BASE_ERROR_H

#include "base/status.h"

#include <stdexcept>
#include <string>

namespace kestrin {

// The text starts with the cause ("cannot open: No such file or
// directory"); the subject, the port for instance, is the command's to add.
class Error : public std::runtime_error {
public:
    explicit Error(const std::string& what, Status status = Status::error) : std::runtime_error(what), status_(status)
    {
    }
    Status status() const { return status_; }

private:
    Status status_;
};

// A mistake in what was typed.
inline Error usageError(const std::string& what)
{
    return Error(what, Status::usage);
}

} // namespace kestrin

#endif
