// What openPort waits on while a port is not there: the system's notice
// that ports came or went, and what it shows of a port name without
// opening it (an open alone can reset a device through its DTR line). One
// file per platform.
#ifndef KESTRIN_TOOL_HOST_PORT_WATCH_H
#define KESTRIN_TOOL_HOST_PORT_WATCH_H

#include "base/selector.h"

#include <memory>
#include <string>

namespace kestrin {

class PortWatch {
public:
    // Watches from now on for what may bring the port `selector` names.
    // A notice the system cannot give is left out, never an error.
    explicit PortWatch(const PortSelector& selector);
    ~PortWatch();
    PortWatch(const PortWatch&) = delete;
    PortWatch& operator=(const PortWatch&) = delete;

    // Waits up to `ms` for a notice: true when one came (a port may now be
    // there; which, the caller looks for itself), false after `ms`.
    bool wait(int ms);

    // How often to look again when no notice comes, for what the system
    // does not announce; 0 when it announces everything a wait is for.
    int unaskedLookMs() const;

private:
    struct Notices;
    std::unique_ptr<Notices> notices_;
};

// Whether `name` is there at all (a node, a link to one, a COM port the
// system knows), as far as the system shows without opening it.
bool portPresent(const std::string& name);

// The name the system lists the port under, for a name that reaches it
// another way (a link to it on Linux); else the name itself.
std::string listedName(const std::string& name);

} // namespace kestrin

#endif
