#include "bytes.h"

namespace kestrin {

namespace {

int hexValue(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
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
            const int high = i + 1 < text.size() ? hexValue(text[i + 1]) : -1;
            const int low = i + 2 < text.size() ? hexValue(text[i + 2]) : -1;
            if (high < 0 || low < 0) {
                error = "\\x at position " + std::to_string(i) + " needs two hex digits";
                return false;
            }
            bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
            i += 2;
            break;
        }
        default:
            error = std::string("unknown escape \\") + e + " at position " + std::to_string(i)
                    + " (known: \\r \\n \\t \\\\ \\xHH)";
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
        const int high = i < text.size() ? hexValue(text[i]) : -1;
        const int low = i + 1 < text.size() ? hexValue(text[i + 1]) : -1;
        if (high < 0 || low < 0) {
            error = "not a pair of hex digits at position " + std::to_string(i);
            return false;
        }
        bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
        i += 2;
    }
    out = std::move(bytes);
    return true;
}

std::string escapeBytes(const Bytes& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
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
                text += "\\x";
                text += digits[b >> 4];
                text += digits[b & 0xf];
            }
        }
    }
    return text;
}

std::string hexBytes(const Bytes& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (const std::uint8_t b : bytes) {
        if (!text.empty()) {
            text += ' ';
        }
        text += digits[b >> 4];
        text += digits[b & 0xf];
    }
    return text;
}

Bytes toBytes(std::string_view text)
{
    return Bytes(text.begin(), text.end());
}

} // namespace kestrin
