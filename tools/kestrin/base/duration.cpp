#include "base/duration.h"

#include "base/error.h"

#include <fmt/format.h>

#include <cctype>
#include <charconv>
#include <climits>
#include <cstdint>

namespace kestrin {

namespace {

struct Unit {
    const char* name;
    std::int64_t ms;
};

const Unit units[] = {{"ms", 1}, {"s", 1000}, {"m", 60000}, {"min", 60000}, {"h", 3600000}};

bool allDigits(std::string_view text)
{
    for (const char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c))) {
            return false;
        }
    }
    return true;
}

} // namespace

int parseDurationMs(std::string_view text, std::string_view context)
{
    const auto unitAt = text.find_first_not_of("0123456789.");
    const std::string_view number = text.substr(0, unitAt);
    const std::string_view unitName = unitAt == std::string_view::npos ? "ms" : text.substr(unitAt);
    const Unit* unit = nullptr;
    for (const Unit& u : units) {
        if (unitName == u.name) {
            unit = &u;
        }
    }
    const auto point = number.find('.');
    const std::string_view whole = number.substr(0, point);
    const std::string_view fraction = point == std::string_view::npos ? "" : number.substr(point + 1);
    if (unit == nullptr || whole.empty() || !allDigits(fraction) || (point != std::string_view::npos && fraction.empty())) {
        throw usageError(
            fmt::format("{}'{}' is not a duration (write 500ms, 2s, 1.5s, 10m or 1h; a plain number is ms)", context, text));
    }
    // Exact decimal arithmetic: 1.5s is 1500 ms, and 0.0005s no whole ms.
    std::int64_t value = 0;
    if (whole.size() > 10 || std::from_chars(whole.data(), whole.data() + whole.size(), value).ec != std::errc()) {
        throw usageError(fmt::format("{}'{}' is too long", context, text));
    }
    value *= unit->ms;
    std::int64_t scale = unit->ms;
    for (const char digit : fraction) {
        if (scale % 10 != 0) {
            if (digit != '0') {
                throw usageError(fmt::format("{}'{}' is not a whole number of milliseconds", context, text));
            }
            continue;
        }
        scale /= 10;
        value += (digit - '0') * scale;
    }
    if (value > INT_MAX) {
        throw usageError(fmt::format("{}'{}' is too long (at most {} ms, about 24 days)", context, text, INT_MAX));
    }
    return static_cast<int>(value);
}

} // namespace kestrin
