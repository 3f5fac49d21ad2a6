#include "host/machine.h"

#include <unistd.h>

#include <climits>

namespace kestrin {

std::string machineName()
{
    char name[HOST_NAME_MAX + 1] = {};
    return gethostname(name, sizeof name - 1) == 0 ? name : "";
}

} // namespace kestrin
