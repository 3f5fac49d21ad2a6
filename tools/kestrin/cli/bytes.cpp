#include "cli/bytes.h"

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

bool parseEscaped(std::string_view text, Bytes& out, std::string& error)
{
    Bytes bytes;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c != '\\') {
            bytes.push_back(static_cast<std::uint8_t>(c));
            continue;
        }
        if (i + 1 >= text.size()) {
            error = "a lone backslash at the end (write \\\\ for a backslash)";
            return false;
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
                error = fmt::format("\\x at position {} needs two hex digits", i);
                return false;
            }
            bytes.push_back(static_cast<std::uint8_t>(value));
            i += 2;
            break;
        }
        default:
            error = fmt::format("unknown escape \\{} at position {} (known: \\r \\n \\t \\\\ \\xHH)", e, i);
            return false;
        }
    }
    out = std::move(bytes);
    return true;
}

bool parseHex(std::string_view text, Bytes& out, std::string& error)
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
            error = fmt::format("not a pair of hex digits at position {}", i);
            return false;
        }
        bytes.push_back(static_cast<std::uint8_t>(value));
        i += 2;
    }
    out = std::move(bytes);
    return true;
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
