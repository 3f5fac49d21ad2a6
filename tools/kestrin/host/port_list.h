// The serial ports this machine has, for `kestrin ports`; one file per
// platform.
#ifndef KESTRIN_TOOL_HOST_PORT_LIST_H
#define KESTRIN_TOOL_HOST_PORT_LIST_H

#include <string>
#include <vector>

namespace kestrin {

struct PortListing {
    std::string name;
    std::string detail; // where a link points, or empty
};

std::vector<PortListing> listSerialPorts();

} // namespace kestrin

#endif
