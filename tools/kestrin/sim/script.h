// The sim's script: what it answers to what, when and how.
//
//   on TEXT reply TEXT [after MS] [gap MS] [repeat N] [every MS] [times N]
//   on TEXT silent [times N]
//   on TEXT hangup [after MS]
//   send TEXT [after MS] [gap MS] [repeat N|forever] [every MS]
//   hangup [after MS]
//
// One rule per line; # starts a comment. TEXT takes the escapes \r \n \t
// \\ and \xHH, "double quotes" around text with spaces, or hex:HHHH for raw
// bytes. MS is milliseconds, or a time with its unit: 500ms, 2s.
#ifndef KESTRIN_TOOL_SIM_SCRIPT_H
#define KESTRIN_TOOL_SIM_SCRIPT_H

#include "base/bytes.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kestrin::sim {

struct Rule {
    // hangup: the device goes away (the sim closes its side of the port),
    // on a trigger or, without one, after a while.
    enum class Kind { reply, silent, send, hangup };
    Kind kind = Kind::reply;
    Bytes trigger;             // on: the bytes that set the rule off; empty for an unprompted hangup
    Bytes text;                // reply, send: the bytes sent
    std::uint64_t afterMs = 0; // before the first byte
    std::uint64_t gapMs = 0;   // between bytes; 0 sends the text in one go
    std::uint64_t repeat = 1;  // copies of the text; 0 means forever (send only)
    std::uint64_t everyMs = 0; // from one copy's start to the next; 0: back to back
    std::uint64_t times = 0;   // on: how many triggers it answers; 0 means no limit
};

// One rule. A mistake is a usage Error saying what is wrong, after `where`
// ("rule 2 (on PING answer PONG): ").
Rule parseRule(std::string_view line, std::string_view where = {});

// Several rules, one per line, blank lines and # comments skipped. Errors
// name the line, after `where` ("device.sim: ").
std::vector<Rule> parseScript(std::string_view script, std::string_view where = {});

// The syntax for --help and error messages.
const char* scriptSyntax();

} // namespace kestrin::sim

#endif
