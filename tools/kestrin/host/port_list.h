// The serial ports this machine has, for `kestrin ports`; one file per
// platform.
#ifndef KESTRIN_TOOL_HOST_PORT_LIST_H
#define KESTRIN_TOOL_HOST_PORT_LIST_H

#include "base/port_listing.h"

#include <vector>

namespace kestrin {

// Each port with a device behind it, once, in a stable order.
std::vector<PortListing> listSerialPorts();

} // namespace kestrin

#endif
