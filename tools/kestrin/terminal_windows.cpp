#include "terminal.h"

#include <cstdio>
#include <io.h>

namespace kestrin {

bool stderrIsTerminal()
{
    return _isatty(_fileno(stderr)) != 0;
}

} // namespace kestrin
