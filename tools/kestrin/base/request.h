// What a poll is asked to do: the port, the bytes to send and expect, the
// budget and the port's settings, as read from the command line.
#ifndef KESTRIN_TOOL_BASE_REQUEST_H
#define KESTRIN_TOOL_BASE_REQUEST_H

#include "base/bytes.h"
#include "base/port_settings.h"

#include <string>

namespace kestrin {

struct PollRequest {
    std::string port;
    Bytes expect;
    Bytes send;
    int timeoutMs = 1000;
    PortSettings settings;
    // Which parts have been read so far: a report of an error that came
    // before the rest was read shows only these, never a default for them.
    bool expectRead = false;
    bool sendRead = false;
    bool timeoutRead = false;
    bool settingsRead = false;
};

// A usage Error saying why when the request cannot be polled. Nothing is
// touched: this runs before the library is loaded or the port opened.
void checkRequest(const PollRequest& request);

} // namespace kestrin

#endif
