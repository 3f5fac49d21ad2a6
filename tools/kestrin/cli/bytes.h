// Byte strings as people type them on a command line: C-style escapes or hex.
#ifndef KESTRIN_TOOL_CLI_BYTES_H
#define KESTRIN_TOOL_CLI_BYTES_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kestrin {

using Bytes = std::vector<std::uint8_t>;

// Text with the escapes \r \n \t \\ and \xHH (exactly two hex digits). Any
// other backslash sequence is refused rather than guessed at. On failure
// `error` says what and where.
bool parseEscaped(std::string_view text, Bytes& out, std::string& error);

// Pairs of hex digits, optionally separated by spaces, colons, dashes or
// commas, each pair optionally prefixed with 0x: "4F 4B 0d0a", "0x4f,0x4b".
bool parseHex(std::string_view text, Bytes& out, std::string& error);

// The bytes as escaped text that parseEscaped reads back: printable ASCII as
// is, \r \n \t \\ by name, anything else as \xHH.
std::string escapeBytes(const Bytes& bytes);

// Lower-case hex pairs separated by single spaces: "4f 4b 0d 0a".
std::string hexBytes(const Bytes& bytes);

Bytes toBytes(std::string_view text);

} // namespace kestrin

#endif
