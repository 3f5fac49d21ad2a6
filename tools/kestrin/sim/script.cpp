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

// A time: milliseconds, or with a unit (500ms, 2s), up to a day.
std::uint64_t parseTime(const std::string& word, std::string_view where)
{
    const int limit = 86400000;
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
        throw usageError(fmt::format("{}'{}' is not a whole number", where, word));
    }
    if (failure == std::errc::result_out_of_range || n > limit) {
        throw usageError(fmt::format("{}{} is too large", where, word));
    }
    return n;
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
        const std::string& action = next("'reply', 'silent' or 'hangup'");
        if (action == "silent") {
            r.kind = Rule::Kind::silent;
        } else if (action == "hangup") {
            r.kind = Rule::Kind::hangup;
        } else if (action == "reply") {
            r.kind = Rule::Kind::reply;
            r.text = parseText(next("the text after 'reply'"), where);
        } else {
            throw usageError(fmt::format("{}expected 'reply', 'silent' or 'hangup', not '{}'", where, action));
        }
    } else if (word == "send") {
        r.kind = Rule::Kind::send;
        r.text = parseText(next("the text after 'send'"), where);
    } else if (word == "hangup") {
        r.kind = Rule::Kind::hangup;
    } else {
        throw usageError(fmt::format("{}a rule starts with 'on', 'send' or 'hangup', not '{}'", where, word));
    }

    bool repeatGiven = false;
    while (i < words.size()) {
        const std::string option = words[i++];
        const bool speaks = r.kind == Rule::Kind::reply || r.kind == Rule::Kind::send;
        const bool triggered = !r.trigger.empty();
        std::uint64_t* target = nullptr;
        if (option == "after" && r.kind != Rule::Kind::silent) {
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
        } else if (option == "after" || option == "gap" || option == "every" || option == "repeat"
                   || option == "times") {
            throw usageError(fmt::format("{}'{}' does not belong in this rule", where, option));
        } else {
            throw usageError(fmt::format("{}unknown word '{}'", where, option));
        }
        const std::string& value = next(fmt::format("a value after '{}'", option));
        if (option == "repeat" && value == "forever" && r.kind == Rule::Kind::send) {
            r.repeat = 0;
            continue;
        }
        const bool time = option == "after" || option == "gap" || option == "every";
        *target = time ? parseTime(value, where) : parseNumber(value, where);
        if ((option == "repeat" || option == "times" || option == "every") && *target == 0) {
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
           "  on TEXT reply TEXT [after MS] [gap MS] [repeat N] [every MS] [times N]\n"
           "      When TEXT arrives, answer. after: wait before the first byte. gap: send\n"
           "      byte by byte, MS apart. repeat N: send the answer N times, every MS\n"
           "      from one start to the next (default back to back). times N: answer only\n"
           "      the first N triggers, then leave them to the next matching rule.\n"
           "      Trailing bytes after a reply are simply part of its TEXT.\n"
           "  on TEXT silent [times N]\n"
           "      Swallow TEXT and answer nothing.\n"
           "  on TEXT hangup [after MS] [times N]\n"
           "      Go away like an unplugged device: close the port, and exit.\n"
           "  send TEXT [after MS] [gap MS] [repeat N|forever] [every MS]\n"
           "      Speak unprompted from start-up; with every and no repeat, forever.\n"
           "  hangup [after MS]\n"
           "      Go away unprompted, MS after start-up.\n"
           "TEXT: escapes \\r \\n \\t \\\\ \\xHH; \"double quotes\" around spaces; hex:4f4b for raw\n"
           "bytes. MS: milliseconds, or with a unit: 500ms, 2s. Incoming bytes are searched\n"
           "for the triggers; the earliest trigger wins, the first listed rule on a tie.\n"
           "A round is one trigger answered.\n";
}

} // namespace kestrin::sim
