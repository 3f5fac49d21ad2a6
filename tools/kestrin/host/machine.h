// Facts about the machine the tool runs on, for the records it writes.
#ifndef KESTRIN_TOOL_HOST_MACHINE_H
#define KESTRIN_TOOL_HOST_MACHINE_H

#include <string>

namespace kestrin {

// This machine's name, as the system gives it; empty when it gives none.
std::string machineName();

} // namespace kestrin

#endif
