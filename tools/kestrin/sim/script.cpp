#include "sim/script.h"

#include "base/duration.h"
#include "base/error.h"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <charconv>

namespace kestrin::sim {

namespace {

// Splits at blanks; double quotes keep blanks inside a word, and \" puts a
// quote into it. Other escapes are left for parseEscaped.
std::vector<std::string> splitWords(std::string_view line, std::string_view where)
{
    std::vector<std::string> words;
    std::size_t i = 0;
    while (i < line.size()) {
        if (std::isspace(static_cast<unsigned char>(line[i]))) {
            ++i;
            continue;
        }
        if (line[i] == '#') {
            break;
        }
        std::string word;
        bool quoted = false;
        while (i < line.size() && (quoted || !std::isspace(static_cast<unsigned char>(line[i])))) {
            const char c = line[i];
            if (c == '"') {
                quoted = !quoted;
                ++i;
            } else if (c == '\\' && i + 1 < line.size()) {
                if (line[i + 1] == '"') {
                    word += '"';
                } else {
                    word += c;
                    word += line[i + 1];
                }
                i += 2;
            } else {
                word += c;
                ++i;
            }
        }
        if (quoted) {
            throw usageError(fmt::format("{}a quote is not closed", where));
        }
        words.push_back(std::move(word));
    }
    return words;
}

// A word as an error shows it: a script may hold anything, a megabyte on
// one line included.
std::string shown(const std::string& word)
{
    const std::size_t most = 40;
    return word.size() <= most ? word : word.substr(0, most) + "...";
}

Bytes parseText(const std::string& word, std::string_view where)
{
    const std::string hexPrefix = "hex:";
    Bytes text = word.rfind(hexPrefix, 0) == 0 ? parseHex(std::string_view(word).substr(hexPrefix.size()), where)
                                               : parseEscaped(word, where);
    if (text.empty()) {
        throw usageError(fmt::format("{}a text must not be empty", where));
    }
    return text;
}

// A number or time is never longer than this; a longer word is not shown
// whole.
const std::size_t valueLimit = 32;

// A time: milliseconds, or with a unit (500ms, 2s), up to a day.
std::uint64_t parseTime(const std::string& word, std::string_view where)
{
    const int limit = 86400000;
    if (word.size() > valueLimit) {
        throw usageError(fmt::format("{}'{}' is not a time", where, shown(word)));
    }
    const int ms = parseDurationMs(word, where);
    if (ms > limit) {
        throw usageError(fmt::format("{}{} is too long (a day at most)", where, word));
    }
    return static_cast<std::uint64_t>(ms);
}

std::uint64_t parseNumber(const std::string& word, std::string_view where)
{
    // Up to a day in milliseconds, and no count anyone means beyond that.
    const std::uint64_t limit = 86400000;
    if (word.empty()) {
        throw usageError(fmt::format("{}a number is missing", where));
    }
    std::uint64_t n = 0;
    const char* end = word.data() + word.size();
    const auto [stop, failure] = std::from_chars(word.data(), end, n);
    if (stop != end || (failure != std::errc() && failure != std::errc::result_out_of_range)) {
        throw usageError(fmt::format("{}'{}' is not a whole number", where, shown(word)));
    }
    if (failure == std::errc::result_out_of_range || n > limit) {
        throw usageError(fmt::format("{}{} is too large", where, shown(word)));
    }
    return n;
}

// A percentage with up to two decimals (90%, 99.5%, 0.01%), in hundredths
// of a percent.
std::uint32_t parseChance(const std::string& word, std::string_view where)
{
    const auto bad = [&] {
        return usageError(fmt::format("{}'{}' is not a chance (a percentage from 0% to 100%: 90%, 99.5%)", where,
                                      shown(word)));
    };
    // At most "100.00%".
    if (word.size() < 2 || word.size() > 7 || word.back() != '%') {
        throw bad();
    }
    std::uint32_t hundredths = 0;
    int decimals = -1; // none until the point
    for (std::size_t i = 0; i + 1 < word.size(); ++i) {
        const char c = word[i];
        if (c == '.' && decimals < 0 && i > 0) {
            decimals = 0;
        } else if (c >= '0' && c <= '9' && decimals < 2) {
            hundredths = hundredths * 10 + static_cast<std::uint32_t>(c - '0');
            decimals += decimals >= 0 ? 1 : 0;
        } else {
            throw bad();
        }
    }
    if (decimals == 0) {
        throw bad(); // "90.%"
    }
    for (int i = std::max(decimals, 0); i < 2; ++i) {
        hundredths *= 10;
    }
    if (hundredths > Rule::chanceAlways) {
        throw bad();
    }
    return hundredths;
}

} // namespace

Rule parseRule(std::string_view line, std::string_view where)
{
    const std::vector<std::string> words = splitWords(line, where);
    Rule r;
    std::size_t i = 0;
    const auto next = [&](std::string_view what) -> const std::string& {
        if (i >= words.size()) {
            throw usageError(fmt::format("{}{} is missing", where, what));
        }
        return words[i++];
    };
    const std::string& word = next("a rule");
    if (word == "on") {
        r.trigger = parseText(next("the text after 'on'"), where);
        if (r.trigger.size() > triggerLimit) {
            throw usageError(fmt::format("{}a trigger is {} bytes at most", where, triggerLimit));
        }
        const std::string& action = next("'reply', 'silent', 'hangup' or 'vanish'");
        if (action == "silent") {
            r.kind = Rule::Kind::silent;
        } else if (action == "hangup") {
            r.kind = Rule::Kind::hangup;
        } else if (action == "vanish") {
            r.kind = Rule::Kind::vanish;
            r.vanishMs = parseTime(next("how long the device vanishes, after 'vanish'"), where);
        } else if (action == "reply") {
            r.kind = Rule::Kind::reply;
            r.text = parseText(next("the text after 'reply'"), where);
        } else {
            throw usageError(
                fmt::format("{}expected 'reply', 'silent', 'hangup' or 'vanish', not '{}'", where, shown(action)));
        }
    } else if (word == "send") {
        r.kind = Rule::Kind::send;
        r.text = parseText(next("the text after 'send'"), where);
    } else if (word == "hangup") {
        r.kind = Rule::Kind::hangup;
    } else {
        throw usageError(fmt::format("{}a rule starts with 'on', 'send' or 'hangup', not '{}'", where, shown(word)));
    }

    bool repeatGiven = false;
    while (i < words.size()) {
        const std::string option = words[i++];
        const bool speaks = r.kind == Rule::Kind::reply || r.kind == Rule::Kind::send;
        const bool triggered = !r.trigger.empty();
        std::uint64_t* target = nullptr;
        if (option == "then" && speaks) {
            r.then.push_back({parseText(next("the text after 'then'"), where)});
            continue;
        }
        // After a piece, 'after' is the piece's own; the other timing words
        // shape the first part and belong before it.
        const bool ofFirstPart = option == "gap" || option == "every" || option == "repeat" || option == "corrupt";
        if (!r.then.empty() && ofFirstPart) {
            throw usageError(fmt::format("{}'{}' belongs before 'then'", where, option));
        }
        if (option == "after" && !r.then.empty()) {
            target = &r.then.back().afterMs;
        } else if (option == "after" && r.kind != Rule::Kind::silent) {
            target = &r.afterMs;
        } else if (option == "gap" && speaks) {
            target = &r.gapMs;
        } else if (option == "every" && speaks) {
            target = &r.everyMs;
        } else if (option == "repeat" && speaks) {
            target = &r.repeat;
            repeatGiven = true;
        } else if (option == "times" && triggered) {
            target = &r.times;
        } else if (option == "corrupt" && speaks) {
            target = &r.corrupt;
        } else if (option == "chance" && triggered) {
            r.chance = parseChance(next("a percentage after 'chance'"), where);
            continue;
        } else if (option == "after" || option == "gap" || option == "every" || option == "repeat"
                   || option == "times" || option == "corrupt" || option == "chance" || option == "then") {
            throw usageError(fmt::format("{}'{}' does not belong in this rule", where, option));
        } else {
            throw usageError(fmt::format("{}unknown word '{}'", where, shown(option)));
        }
        const std::string& value = next(fmt::format("a value after '{}'", option));
        if (option == "repeat" && value == "forever" && r.kind == Rule::Kind::send) {
            r.repeat = 0;
            continue;
        }
        const bool time = option == "after" || option == "gap" || option == "every";
        *target = time ? parseTime(value, where) : parseNumber(value, where);
        if ((option == "repeat" || option == "times" || option == "every" || option == "corrupt") && *target == 0) {
            throw usageError(fmt::format("{}'{}' must be at least 1", where, option));
        }
    }
    // Chatter: "send TEXT every MS" goes on until the device stops.
    if (r.kind == Rule::Kind::send && r.everyMs > 0 && !repeatGiven) {
        r.repeat = 0;
    }
    if (r.repeat == 0 && r.everyMs == 0) {
        throw usageError(fmt::format("{}'repeat forever' needs 'every MS'", where));
    }
    if (r.repeat == 0 && !r.then.empty()) {
        throw usageError(fmt::format("{}'then' never comes after 'repeat forever'", where));
    }
    return r;
}

std::vector<Rule> parseScript(std::string_view script, std::string_view where)
{
    std::vector<Rule> rules;
    std::size_t lineNumber = 0;
    std::size_t start = 0;
    while (start <= script.size()) {
        const std::size_t end = std::min(script.find('\n', start), script.size());
        const std::string_view line = script.substr(start, end - start);
        ++lineNumber;
        start = end + 1;
        const std::string lineWhere = fmt::format("{}line {}: ", where, lineNumber);
        if (splitWords(line, lineWhere).empty()) {
            continue;
        }
        rules.push_back(parseRule(line, lineWhere));
    }
    return rules;
}

const char* scriptSyntax()
{
    return "Rules, one per argument or one per line of --script FILE (# starts a comment):\n"
           "  on TEXT reply TEXT [after MS] [gap MS] [repeat N] [every MS] [corrupt N]\n"
           "                     [then TEXT [after MS]]... [times N] [chance P%]\n"
           "      When TEXT arrives, answer. after: wait before the first byte. gap: send\n"
           "      byte by byte, MS apart. repeat N: send the answer N times, every MS\n"
           "      from one start to the next (default back to back). corrupt N: change N\n"
           "      bytes of each copy (all if it is shorter), at random places, each to\n"
           "      another value. times N: answer only the first N triggers, then leave\n"
           "      them to the next matching rule. chance P%: answer only that share of\n"
           "      the triggers at random (90%, 99.5%); the others are swallowed, as by\n"
           "      silent, and times counts only answers. then TEXT after MS: more of the\n"
           "      answer, MS after the part before it ended (pauses as a recording has them).\n"
           "      Trailing bytes after a reply are simply part of its TEXT.\n"
           "  on TEXT silent [times N] [chance P%]\n"
           "      Swallow TEXT and answer nothing.\n"
           "  on TEXT hangup [after MS] [times N] [chance P%]\n"
           "      Go away like an unplugged device: close the port, and exit.\n"
           "  on TEXT vanish MS [after MS] [times N] [chance P%]\n"
           "      Go away like a reset adapter (the host's reads fail, --link is removed)\n"
           "      and come back MS later on a new port, which --link then points to; the\n"
           "      rules go on where they were.\n"
           "  send TEXT [after MS] [gap MS] [repeat N|forever] [every MS] [corrupt N]\n"
           "            [then TEXT [after MS]]...\n"
           "      Speak unprompted from start-up; with every and no repeat, forever.\n"
           "  hangup [after MS]\n"
           "      Go away unprompted, MS after start-up.\n"
           "TEXT: escapes \\r \\n \\t \\\\ \\xHH; \"double quotes\" around spaces; hex:4f4b for raw\n"
           "bytes. MS: milliseconds, or with a unit: 500ms, 2s. Incoming bytes are searched\n"
           "for the triggers (4096 bytes at most); the earliest trigger wins, the first\n"
           "listed rule on a tie. A round is one trigger answered (or swallowed). Answers\n"
           "go out as fast as the host reads them; what its input queue has no room for\n"
           "within 100 ms is lost, as on a real line.\n";
}

} // namespace kestrin::sim
