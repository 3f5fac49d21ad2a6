// Byte strings as people type them (C-style escapes or hex) and as they are
// shown back; and any text made safe to show on a terminal.
#ifndef KESTRIN_TOOL_BASE_BYTES_H
#define KESTRIN_TOOL_BASE_BYTES_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kestrin {

using Bytes = std::vector<std::uint8_t>;

// Text with the escapes \r \n \t \\ and \xHH (exactly two hex digits). Any
// other backslash sequence is refused rather than guessed at: a usage Error
// saying what and where, after `context` ("bad escape in the request: ").
Bytes parseEscaped(std::string_view text, std::string_view context = {});

// Pairs of hex digits, optionally separated by spaces, colons, dashes or
// commas, each pair optionally prefixed with 0x: "4F 4B 0d0a", "0x4f,0x4b".
Bytes parseHex(std::string_view text, std::string_view context = {});

// The bytes of an option given as text (`text`) or as hex (`hex`, when not
// empty); errors name `what`: "bad hex in the request: ...".
Bytes bytesFrom(std::string_view text, std::string_view hex, std::string_view what);

// The bytes as escaped text that parseEscaped reads back: printable ASCII as
// is, \r \n \t \\ by name, anything else as \xHH.
std::string escapeBytes(const Bytes& bytes);

// Lower-case hex pairs separated by single spaces: "4f 4b 0d 0a".
std::string hexBytes(const Bytes& bytes);

Bytes toBytes(std::string_view text);

// Text from outside (a port name, a device's name, a line of a script) as
// it may be shown on a terminal: control characters and bytes that are not
// UTF-8 become \xHH, so that none can move the cursor, retitle the window
// or split a line; everything else, UTF-8 included, stays as it is.
std::string printable(std::string_view text);

} // namespace kestrin

#endif
