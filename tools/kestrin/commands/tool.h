// The whole program, as main() runs it: in the tool's core rather than in
// main.cpp, so that the program and the wheel's copy of it, linked
// differently, compile it once.
#ifndef KESTRIN_TOOL_COMMANDS_TOOL_H
#define KESTRIN_TOOL_COMMANDS_TOOL_H

namespace kestrin {

// Parses the command line and runs the subcommand: the exit status.
int runTool(int argc, char** argv);

} // namespace kestrin

#endif
