// The subcommands. Each one's callback leaves its exit status in `exitStatus`:
// 0 success (or matched), 1 not matched, 2 usage, port or library error.
#ifndef KESTRIN_TOOL_COMMANDS_H
#define KESTRIN_TOOL_COMMANDS_H

#include <CLI/CLI.hpp>

#include <string>

namespace kestrin {

// poll, about and ports: on every platform.
void addCommonCommands(CLI::App& app, int& exitStatus);

// Those only this platform has (Linux: sim and demo).
void addPlatformCommands(CLI::App& app, int& exitStatus);

// --version: the tool's version and the loaded library's.
int printVersions(const std::string& libraryPath);

} // namespace kestrin

#endif
