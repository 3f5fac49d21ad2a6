#include "terminal.h"

#include <unistd.h>

namespace kestrin {

bool stderrIsTerminal()
{
    return isatty(STDERR_FILENO) == 1;
}

} // namespace kestrin
