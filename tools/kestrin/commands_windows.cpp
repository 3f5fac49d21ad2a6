#include "commands.h"

namespace kestrin {

void addPlatformCommands(CLI::App&, int&)
{
    // The simulated device and the demo need pseudo-terminals; on Windows
    // the tool is a host only.
}

} // namespace kestrin
