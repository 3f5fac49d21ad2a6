#include "device_script.h"

#include <cctype>
#include <algorithm>

namespace kestrin {

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

bool parseNumber(const std::string& word, std::uint64_t& value, std::string& error)
{
    // Up to a day in milliseconds, and no count anyone means beyond that.
    const std::uint64_t limit = 86400000;
    std::uint64_t n = 0;
    for (const char c : word) {
        if (!std::isdigit(static_cast<unsigned char>(c))) {
            error = "'" + word + "' is not a whole number";
            return false;
        }
        n = n * 10 + static_cast<std::uint64_t>(c - '0');
        if (n > limit) {
            error = word + " is too large";
            return false;
        }
    }
    if (word.empty()) {
        error = "a number is missing";
        return false;
    }
    value = n;
    return true;
}

} // namespace

bool parseRule(std::string_view line, DeviceRule& rule, std::string& error)
{
    std::vector<std::string> words;
    if (!splitWords(line, words, error)) {
        return false;
    }
    DeviceRule r;
    std::size_t i = 0;
    const auto next = [&](const char* what, std::string& word) {
        if (i >= words.size()) {
            error = std::string(what) + " is missing";
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
            || !next("'reply' or 'silent'", action)) {
            return false;
        }
        if (action == "silent") {
            r.kind = DeviceRule::Kind::silent;
        } else if (action == "reply") {
            r.kind = DeviceRule::Kind::reply;
            std::string text;
            if (!next("the text after 'reply'", text) || !parseText(text, r.text, error)) {
                return false;
            }
        } else {
            error = "expected 'reply' or 'silent', not '" + action + "'";
            return false;
        }
    } else if (word == "send") {
        r.kind = DeviceRule::Kind::send;
        std::string text;
        if (!next("the text after 'send'", text) || !parseText(text, r.text, error)) {
            return false;
        }
    } else {
        error = "a rule starts with 'on' or 'send', not '" + word + "'";
        return false;
    }

    bool repeatGiven = false;
    while (i < words.size()) {
        const std::string option = words[i++];
        const bool timed = r.kind != DeviceRule::Kind::silent;
        std::uint64_t* target = nullptr;
        if (option == "after" && timed) {
            target = &r.afterMs;
        } else if (option == "gap" && timed) {
            target = &r.gapMs;
        } else if (option == "every" && timed) {
            target = &r.everyMs;
        } else if (option == "repeat" && timed) {
            target = &r.repeat;
            repeatGiven = true;
        } else if (option == "times" && r.kind != DeviceRule::Kind::send) {
            target = &r.times;
        } else if (option == "after" || option == "gap" || option == "every" || option == "repeat"
                   || option == "times") {
            error = "'" + option + "' does not belong in this rule";
            return false;
        } else {
            error = "unknown word '" + option + "'";
            return false;
        }
        std::string value;
        if (!next(("a value after '" + option + "'").c_str(), value)) {
            return false;
        }
        if (option == "repeat" && value == "forever" && r.kind == DeviceRule::Kind::send) {
            r.repeat = 0;
            continue;
        }
        if (!parseNumber(value, *target, error)) {
            return false;
        }
        if ((option == "repeat" || option == "times" || option == "every") && *target == 0) {
            error = "'" + option + "' must be at least 1";
            return false;
        }
    }
    // Chatter: "send TEXT every MS" goes on until the device stops.
    if (r.kind == DeviceRule::Kind::send && r.everyMs > 0 && !repeatGiven) {
        r.repeat = 0;
    }
    if (r.repeat == 0 && r.everyMs == 0) {
        error = "'repeat forever' needs 'every MS'";
        return false;
    }
    rule = std::move(r);
    return true;
}

bool parseScript(std::string_view script, std::vector<DeviceRule>& rules, std::string& error)
{
    std::vector<DeviceRule> parsed;
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
        DeviceRule rule;
        std::string why;
        if (!parseRule(line, rule, why)) {
            error = "line " + std::to_string(lineNumber) + ": " + why;
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
           "  send TEXT [after MS] [gap MS] [repeat N|forever] [every MS]\n"
           "      Speak unprompted from start-up; with every and no repeat, forever.\n"
           "TEXT: escapes \\r \\n \\t \\\\ \\xHH; \"double quotes\" around spaces; hex:4f4b for raw\n"
           "bytes. Incoming bytes are searched for the triggers; the earliest trigger\n"
           "wins, the first listed rule on a tie. A round is one trigger answered.\n"
           "Example: kestrin sim 'on PING\\r\\n reply PONG\\r\\n after 50' 'on HI reply HELLO times 1'\n";
}

} // namespace kestrin
