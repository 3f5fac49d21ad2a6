#include "sim/script.h"

#include "cli/duration.h"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <charconv>

namespace kestrin::sim {

namespace {

// Splits at blanks; double quotes keep blanks inside a word, and \" puts a
// quote into it. Other escapes are left for parseEscaped.
bool splitWords(std::string_view line, std::vector<std::string>& words, std::string& error)
{
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
            error = "a quote is not closed";
            return false;
        }
        words.push_back(std::move(word));
    }
    return true;
}

bool parseText(const std::string& word, Bytes& out, std::string& error)
{
    const std::string hexPrefix = "hex:";
    const bool ok = word.rfind(hexPrefix, 0) == 0 ? parseHex(std::string_view(word).substr(hexPrefix.size()), out, error)
                                                  : parseEscaped(word, out, error);
    if (ok && out.empty()) {
        error = "a text must not be empty";
        return false;
    }
    return ok;
}

// A time: milliseconds, or with a unit (500ms, 2s), up to a day.
bool parseTime(const std::string& word, std::uint64_t& value, std::string& error)
{
    const int limit = 86400000;
    int ms = 0;
    if (!parseDurationMs(word, ms, error)) {
        return false;
    }
    if (ms > limit) {
        error = fmt::format("{} is too long (a day at most)", word);
        return false;
    }
    value = static_cast<std::uint64_t>(ms);
    return true;
}

bool parseNumber(const std::string& word, std::uint64_t& value, std::string& error)
{
    // Up to a day in milliseconds, and no count anyone means beyond that.
    const std::uint64_t limit = 86400000;
    if (word.empty()) {
        error = "a number is missing";
        return false;
    }
    std::uint64_t n = 0;
    const char* end = word.data() + word.size();
    const auto [stop, failure] = std::from_chars(word.data(), end, n);
    if (stop != end || (failure != std::errc() && failure != std::errc::result_out_of_range)) {
        error = fmt::format("'{}' is not a whole number", word);
        return false;
    }
    if (failure == std::errc::result_out_of_range || n > limit) {
        error = fmt::format("{} is too large", word);
        return false;
    }
    value = n;
    return true;
}

} // namespace

bool parseRule(std::string_view line, Rule& rule, std::string& error)
{
    std::vector<std::string> words;
    if (!splitWords(line, words, error)) {
        return false;
    }
    Rule r;
    std::size_t i = 0;
    const auto next = [&](const char* what, std::string& word) {
        if (i >= words.size()) {
            error = fmt::format("{} is missing", what);
            return false;
        }
        word = words[i++];
        return true;
    };
    std::string word;
    if (!next("a rule", word)) {
        return false;
    }
    if (word == "on") {
        std::string trigger, action;
        if (!next("the text after 'on'", trigger) || !parseText(trigger, r.trigger, error)
            || !next("'reply', 'silent' or 'hangup'", action)) {
            return false;
        }
        if (action == "silent") {
            r.kind = Rule::Kind::silent;
        } else if (action == "hangup") {
            r.kind = Rule::Kind::hangup;
        } else if (action == "reply") {
            r.kind = Rule::Kind::reply;
            std::string text;
            if (!next("the text after 'reply'", text) || !parseText(text, r.text, error)) {
                return false;
            }
        } else {
            error = fmt::format("expected 'reply', 'silent' or 'hangup', not '{}'", action);
            return false;
        }
    } else if (word == "send") {
        r.kind = Rule::Kind::send;
        std::string text;
        if (!next("the text after 'send'", text) || !parseText(text, r.text, error)) {
            return false;
        }
    } else if (word == "hangup") {
        r.kind = Rule::Kind::hangup;
    } else {
        error = fmt::format("a rule starts with 'on', 'send' or 'hangup', not '{}'", word);
        return false;
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
            error = fmt::format("'{}' does not belong in this rule", option);
            return false;
        } else {
            error = fmt::format("unknown word '{}'", option);
            return false;
        }
        std::string value;
        if (!next(fmt::format("a value after '{}'", option).c_str(), value)) {
            return false;
        }
        if (option == "repeat" && value == "forever" && r.kind == Rule::Kind::send) {
            r.repeat = 0;
            continue;
        }
        const bool time = option == "after" || option == "gap" || option == "every";
        if (!(time ? parseTime(value, *target, error) : parseNumber(value, *target, error))) {
            return false;
        }
        if ((option == "repeat" || option == "times" || option == "every") && *target == 0) {
            error = fmt::format("'{}' must be at least 1", option);
            return false;
        }
    }
    // Chatter: "send TEXT every MS" goes on until the device stops.
    if (r.kind == Rule::Kind::send && r.everyMs > 0 && !repeatGiven) {
        r.repeat = 0;
    }
    if (r.repeat == 0 && r.everyMs == 0) {
        error = "'repeat forever' needs 'every MS'";
        return false;
    }
    rule = std::move(r);
    return true;
}

bool parseScript(std::string_view script, std::vector<Rule>& rules, std::string& error)
{
    std::vector<Rule> parsed;
    std::size_t lineNumber = 0;
    std::size_t start = 0;
    while (start <= script.size()) {
        const std::size_t end = std::min(script.find('\n', start), script.size());
        std::string_view line = script.substr(start, end - start);
        ++lineNumber;
        start = end + 1;
        std::vector<std::string> words;
        std::string ignored;
        if (splitWords(line, words, ignored) && words.empty()) {
            continue;
        }
        Rule rule;
        std::string why;
        if (!parseRule(line, rule, why)) {
            error = fmt::format("line {}: {}", lineNumber, why);
            return false;
        }
        parsed.push_back(std::move(rule));
    }
    rules = std::move(parsed);
    return true;
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
