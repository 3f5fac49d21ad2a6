#include "base/bytes.h"

#include "base/error.h"

#include <fmt/format.h>

#include <cctype>
#include <charconv>

namespace kestrin {

namespace {

// The byte that the two hex digits at `at` spell, or -1. from_chars alone
// would accept a single digit or a sign.
int hexPair(std::string_view text, std::size_t at)
{
    if (at + 2 > text.size() || !std::isxdigit(static_cast<unsigned char>(text[at]))
        || !std::isxdigit(static_cast<unsigned char>(text[at + 1]))) {
        return -1;
    }
    unsigned value = 0;
    std::from_chars(text.data() + at, text.data() + at + 2, value, 16);
    return static_cast<int>(value);
}

bool isSeparator(char c)
{
    return c == ' ' || c == '\t' || c == ':' || c == '-' || c == ',';
}

} // namespace

Bytes parseEscaped(std::string_view text, std::string_view context)
{
    Bytes bytes;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c != '\\') {
            bytes.push_back(static_cast<std::uint8_t>(c));
            continue;
        }
        if (i + 1 >= text.size()) {
            throw usageError(fmt::format("{}a lone backslash at the end (write \\\\ for a backslash)", context));
        }
        const char e = text[++i];
        switch (e) {
        case 'r': bytes.push_back('\r'); break;
        case 'n': bytes.push_back('\n'); break;
        case 't': bytes.push_back('\t'); break;
        case '\\': bytes.push_back('\\'); break;
        case 'x': {
            const int value = hexPair(text, i + 1);
            if (value < 0) {
                throw usageError(fmt::format("{}\\x at position {} needs two hex digits", context, i));
            }
            bytes.push_back(static_cast<std::uint8_t>(value));
            i += 2;
            break;
        }
        default:
            throw usageError(
                fmt::format("{}unknown escape \\{} at position {} (known: \\r \\n \\t \\\\ \\xHH)", context, e, i));
        }
    }
    return bytes;
}

Bytes parseHex(std::string_view text, std::string_view context)
{
    Bytes bytes;
    std::size_t i = 0;
    while (i < text.size()) {
        if (isSeparator(text[i])) {
            ++i;
            continue;
        }
        if (text[i] == '0' && i + 1 < text.size() && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
            i += 2;
        }
        const int value = hexPair(text, i);
        if (value < 0) {
            throw usageError(fmt::format("{}not a pair of hex digits at position {}", context, i));
        }
        bytes.push_back(static_cast<std::uint8_t>(value));
        i += 2;
    }
    return bytes;
}

Bytes bytesFrom(std::string_view text, std::string_view hex, std::string_view what)
{
    return hex.empty() ? parseEscaped(text, fmt::format("bad escape in the {}: ", what))
                       : parseHex(hex, fmt::format("bad hex in the {}: ", what));
}

std::string escapeBytes(const Bytes& bytes)
{
    std::string text;
    auto out = std::back_inserter(text);
    for (const std::uint8_t b : bytes) {
        switch (b) {
        case '\r': text += "\\r"; break;
        case '\n': text += "\\n"; break;
        case '\t': text += "\\t"; break;
        case '\\': text += "\\\\"; break;
        default:
            if (b >= 0x20 && b < 0x7f) {
                text += static_cast<char>(b);
            } else {
                fmt::format_to(out, "\\x{:02x}", b);
            }
        }
    }
    return text;
}

std::string hexBytes(const Bytes& bytes)
{
    return fmt::format("{:02x}", fmt::join(bytes, " "));
}

Bytes toBytes(std::string_view text)
{
    return Bytes(text.begin(), text.end());
}

} // namespace kestrin

namespace kestrin {

namespace {

// The length of the well-formed UTF-8 sequence at `at`, or 0.
std::size_t utf8Length(std::string_view text, std::size_t at)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xbf; // the second byte's range
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        low = lead == 0xe0 ? 0xa0 : 0x80;  // no overlong forms
        high = lead == 0xed ? 0x9f : 0xbf; // no surrogates
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        low = lead == 0xf0 ? 0x90 : 0x80;
        high = lead == 0xf4 ? 0x8f : 0xbf; // nothing above U+10FFFF
    }
    if (length == 0 || at + length > text.size() || byte(at + 1) < low || byte(at + 1) > high) {
        return 0;
    }
    for (std::size_t i = 2; i < length; ++i) {
        if (byte(at + i) < 0x80 || byte(at + i) > 0xbf) {
            return 0;
        }
    }
    return length;
}

} // namespace

std::string printable(std::string_view text)
{
    std::string shown;
    shown.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7f) {
            shown += static_cast<char>(c);
            ++i;
            continue;
        }
        const std::size_t length = c >= 0x80 ? utf8Length(text, i) : 0;
        // U+0080 to U+009F are the C1 controls, which some terminals obey.
        const bool c1 = length == 2 && c == 0xc2 && static_cast<unsigned char>(text[i + 1]) < 0xa0;
        if (length > 0 && !c1) {
            shown.append(text.substr(i, length));
            i += length;
            continue;
        }
        for (std::size_t end = i + (c1 ? 2 : 1); i < end; ++i) {
            fmt::format_to(std::back_inserter(shown), "\\x{:02x}", static_cast<unsigned char>(text[i]));
        }
    }
    return shown;
}

} // namespace kestrin
