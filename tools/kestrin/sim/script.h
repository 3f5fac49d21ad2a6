// The sim's script: what it answers to what, when and how.
//
//   on TEXT reply TEXT [after MS] [gap MS] [repeat N] [every MS] [corrupt N]
//                      [then TEXT [after MS]]... [times N] [chance P%]
//   on TEXT silent [times N] [chance P%]
//   on TEXT hangup [after MS] [times N] [chance P%]
//   on TEXT vanish MS [after MS] [times N] [chance P%]
//   send TEXT [after MS] [gap MS] [repeat N|forever] [every MS] [corrupt N]
//             [then TEXT [after MS]]...
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
    // on a trigger or, without one, after a while. vanish: it goes away and
    // comes back on a new port after vanishMs.
    enum class Kind { reply, silent, send, hangup, vanish };
    Kind kind = Kind::reply;
    Bytes trigger;             // on: the bytes that set the rule off; empty for an unprompted hangup
    Bytes text;                // reply, send: the bytes sent
    std::uint64_t afterMs = 0; // before the first byte
    std::uint64_t gapMs = 0;   // between bytes; 0 sends the text in one go
    std::uint64_t repeat = 1;  // copies of the text; 0 means forever (send only)
    std::uint64_t everyMs = 0; // from one copy's start to the next; 0: back to back
    std::uint64_t times = 0;   // on: how many triggers it answers; 0 means no limit
    std::uint64_t vanishMs = 0; // vanish: how long the device stays away
    std::uint64_t corrupt = 0;  // reply, send: bytes of each copy changed at random
    // on: how often it answers, in hundredths of a percent.
    static constexpr std::uint32_t chanceAlways = 10000;
    std::uint32_t chance = chanceAlways;
    // reply, send: more of the answer, each piece `afterMs` after the one
    // before it ended: a device whose pauses are uneven, as recorded.
    struct Piece {
        Bytes text;
        std::uint64_t afterMs = 0;
    };
    std::vector<Piece> then;
};

// The longest trigger: what the device remembers of input it has not
// answered yet.
const std::size_t triggerLimit = 4096;

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
