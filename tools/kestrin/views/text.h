// The lines people read.
#ifndef KESTRIN_TOOL_VIEWS_TEXT_H
#define KESTRIN_TOOL_VIEWS_TEXT_H

#include "base/outcome.h"

#include <string>

namespace kestrin {

// "PORT: matched in 12 ms", "PORT: matched in 1502 ms, late: after the
// budget of 1000 ms", "PORT: no match within 1000 ms (the poll took
// 5003 ms): nothing came" (see replyText), or for a failure "PORT: the cause".
std::string resultLine(const PollRequest& request, const PollResult& poll);

// What a poll that did not match saw, in a few words: "nothing came",
// "2 bytes came, too few for an attempt: 4f 4b "OK"", "4 other bytes came:
// 4e 4f 50 45 "NOPE"".
std::string replyText(const PollResult& poll);

// What the library read: a heading, then one line per group of bytes that
// came together, with the time since the poll began, the bytes as hex and
// as escaped text:
//   /dev/ttyUSB0: the library read 8 bytes:
//        2.107 ms  4e 4f 50 45  "NOPE"
std::string traceText(const std::string& port, const Trace& trace);

// The end of --repeat:
//   PORT: 20 polls: 18 matched (1 late), 2 no match, 0 errors
//   PORT: time to match: min 10 ms, median 12 ms, p90 15 ms, max 31 ms
std::string summaryText(const std::string& port, const PollSummary& summary);

// What arrived on a monitored port `atUs` after it began:
// "     0.012 s  4f 4b 0d 0a  "OK\r\n"".
std::string arrivalLine(std::int64_t atUs, const Bytes& bytes);

// "PORT: description, manufacturer, USB 0403:6001, serial X", then the
// stable name, where there is one, on a line of its own.
std::string portText(const PortListing& port);

// A failure's text: the cause and, for a usage error, where help is.
std::string errorText(const Outcome& outcome);

// "kestrin: SUBJECT: TEXT", or "kestrin: TEXT" without a subject.
std::string errorLine(const Outcome& outcome);

} // namespace kestrin

#endif
