// Whether a person is watching: the live status line is only for terminals.
#ifndef KESTRIN_TOOL_TERMINAL_H
#define KESTRIN_TOOL_TERMINAL_H

namespace kestrin {

bool stderrIsTerminal();

} // namespace kestrin

#endif
