#include "base/lines.h"

#include "base/duration.h"
#include "base/error.h"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>

namespace kestrin {

namespace {

// Not lowerCase: the folder is compiled as one unit, and port_settings.cpp
// has one.
std::string foldCase(std::string_view text)
{
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower;
}

ModemLine lineNamed(std::string_view name, std::string_view option, std::string_view word)
{
    const std::string lower = foldCase(name);
    if (lower == "dtr") {
        return ModemLine::dtr;
    }
    if (lower == "rts") {
        return ModemLine::rts;
    }
    throw usageError(fmt::format("{} '{}': the line must be dtr or rts, not '{}'", option, word, name));
}

} // namespace

const char* lineName(ModemLine line)
{
    return line == ModemLine::rts ? "RTS" : "DTR";
}

LineStep parsePulse(std::string_view text)
{
    const auto equals = text.find('=');
    if (equals == std::string_view::npos) {
        throw usageError(fmt::format("--pulse '{}': write LINE=DURATION, e.g. dtr=100ms", text));
    }
    LineStep step;
    step.kind = LineStep::Kind::pulse;
    step.line = lineNamed(text.substr(0, equals), "--pulse", text);
    step.ms = parseDurationMs(text.substr(equals + 1), fmt::format("--pulse '{}': ", text));
    // A pulse of no length would not reach the device at all.
    if (step.ms == 0) {
        throw usageError(fmt::format("--pulse '{}': a pulse lasts at least 1 ms", text));
    }
    return step;
}

std::vector<LineStep> parseLineSequence(std::string_view text)
{
    std::vector<LineStep> steps;
    const char* const blanks = " \t\r\n";
    std::size_t at = text.find_first_not_of(blanks);
    while (at != std::string_view::npos) {
        const std::size_t end = std::min(text.find_first_of(blanks, at), text.size());
        const std::string_view word = text.substr(at, end - at);
        at = text.find_first_not_of(blanks, end);

        LineStep step;
        const auto equals = word.find('=');
        if (equals == std::string_view::npos) {
            step.kind = LineStep::Kind::wait;
            step.ms = parseDurationMs(word, fmt::format("--lines '{}': ", word));
            steps.push_back(step);
            continue;
        }
        step.kind = LineStep::Kind::set;
        step.line = lineNamed(word.substr(0, equals), "--lines", word);
        const std::string level = foldCase(word.substr(equals + 1));
        if (level != "on" && level != "off") {
            // dtr=100ms is what --pulse takes, and an easy slip here.
            const bool duration = !level.empty() && std::isdigit(static_cast<unsigned char>(level[0]));
            throw usageError(fmt::format("--lines '{}': the level must be on or off{}", word,
                                         duration ? fmt::format(" (a pulse is --pulse {})", word)
                                                  : fmt::format(", not '{}'", word.substr(equals + 1))));
        }
        step.on = level == "on";
        steps.push_back(step);
    }
    if (steps.empty()) {
        throw usageError("--lines: no steps given (write e.g. \"dtr=off 100ms dtr=on\")");
    }
    return steps;
}

} // namespace kestrin
