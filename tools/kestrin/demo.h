// kestrin demo: a simulated device polled through the real library, with a
// few lines of narration. Needs no hardware.
#ifndef KESTRIN_TOOL_DEMO_H
#define KESTRIN_TOOL_DEMO_H

#include <string>

namespace kestrin {

// 0 when the right reply matched and the wrong one did not.
int runDemo(const std::string& libraryPath);

} // namespace kestrin

#endif
