#include "host/port_open.h"

#include "base/error.h"
#include "host/port_list.h"
#include "host/port_watch.h"

#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <string_view>
#include <vector>

namespace kestrin {

namespace {

// No system tells when a busy port is let go: it is tried again this often.
const int busyRetryMs = 150;
// Nor when a port that is there stops refusing to open (its permissions
// being set, its driver starting, or the node of a device being taken away).
const int refusedRetryMs = 250;
// How long a wait goes without a look at the interrupts.
const int interruptSliceMs = 100;

// What kept the port from opening, and so what to wait for.
enum class Hindrance {
    absent,  // not there: until a notice, or the next unasked look
    busy,    // another program's: tried again on a timer
    refused, // there, but the system refused to open it: likewise
    final,   // what waiting will not change
};

struct Look {
    std::optional<OpenedPort> opened;
    Hindrance hindrance = Hindrance::final;
    std::optional<Error> error;
};

// A port as a selector names it, for errors that list ports:
// /dev/ttyUSB0 (usb:0403:6001:A50285BI location:1-1:1.0).
std::string shown(const PortListing& port)
{
    std::vector<std::string> names;
    if (port.usbVendorId != 0 || port.usbProductId != 0) {
        names.push_back(fmt::format("usb:{:04x}:{:04x}{}", port.usbVendorId, port.usbProductId,
                                    port.serialNumber.empty() ? "" : ":" + port.serialNumber));
    }
    if (!port.location.empty()) {
        names.push_back("location:" + port.location);
    }
    return names.empty() ? port.port : fmt::format("{} ({})", port.port, fmt::join(names, " "));
}

std::string shown(const std::vector<PortListing>& ports)
{
    std::vector<std::string> each;
    std::transform(ports.begin(), ports.end(), std::back_inserter(each),
                   [](const PortListing& port) { return shown(port); });
    return fmt::format("{}", fmt::join(each, ", "));
}

Error noPortError(const PortSelector& selector, const std::vector<PortListing>& listed)
{
    if (listed.empty()) {
        return Error(fmt::format("no port matches {}, and no ports are present", selector.text));
    }
    return Error(fmt::format("no port matches {}; ports present: {}", selector.text, shown(listed)));
}

// Never a pick among them: the wrong unit would be tested.
Error severalError(const PortSelector& selector, const std::vector<PortListing>& found)
{
    return Error(fmt::format("{} matches {} ports: {}; name one by its serial number (usb:VID:PID:SERIAL) or its "
                             "location (location:LOC)",
                             selector.text, found.size(), shown(found)));
}

// What the system lists of a port given by name, else just the name: a
// port need not be listed to open (a pseudo-terminal, a simulator's link),
// nor the list be readable.
PortListing listingOfName(const std::string& name)
{
    PortListing bare;
    bare.port = name;
    std::vector<PortListing> listed;
    try {
        listed = listSerialPorts();
    } catch (const Error&) {
        return bare;
    }
    PortSelector selector;
    selector.text = name;
    std::vector<PortListing> found = selected(selector, listed);
    if (found.empty()) {
        selector.text = listedName(name);
        found = selected(selector, listed);
    }
    return found.size() == 1 ? found.front() : bare;
}

// SerialPort::open words the system's refusal of the open call itself
// "cannot open: ..." on every platform; what fails after it is the port's
// own answer (not a serial port, a rate it cannot run at), which stays.
bool refusedToOpen(const Error& error)
{
    return error.status() == Status::error && std::string_view(error.what()).rfind("cannot open", 0) == 0;
}

// One try at the port as things are now.
Look lookOnce(const PortSelector& selector, const PortSettings& settings)
{
    Look look;
    std::optional<PortListing> listing;
    if (selector.kind != PortSelector::Kind::name) {
        const std::vector<PortListing> listed = listSerialPorts();
        const std::vector<PortListing> found = selected(selector, listed);
        if (found.size() != 1) {
            look.hindrance = found.empty() ? Hindrance::absent : Hindrance::final;
            look.error = found.empty() ? noPortError(selector, listed) : severalError(selector, found);
            return look;
        }
        listing = found.front();
    }
    const std::string& name = listing ? listing->port : selector.text;
    try {
        SerialPort port = SerialPort::open(name, settings);
        look.opened = OpenedPort{std::move(port), listing ? *listing : listingOfName(name), 0};
        return look;
    } catch (const Error& error) {
        // A selector's port is named: which node it was is news.
        look.error = listing ? Error(fmt::format("{}: {}", name, error.what()), error.status()) : error;
        if (error.status() == Status::busy) {
            look.hindrance = Hindrance::busy;
        } else if (!portPresent(name)) {
            look.hindrance = Hindrance::absent;
        } else if (refusedToOpen(error)) {
            look.hindrance = Hindrance::refused;
        }
        return look;
    }
}

std::string durationText(int ms)
{
    if (ms < 1000) {
        return fmt::format("{} ms", ms);
    }
    return fmt::format("{:g} s", ms / 1000.0);
}

Error waitedError(const Look& look, int waitMs)
{
    const char* what = look.hindrance == Hindrance::absent ? "for the port to appear"
                       : look.hindrance == Hindrance::busy ? "for the port to be free"
                                                           : "for the port to open";
    return Error(fmt::format("waited {} {}: {}", durationText(waitMs), what, look.error->what()),
                 look.error->status());
}

void checkInterrupts(const InterruptGuard& interrupts)
{
    if (interrupts.interrupted()) {
        throw Error("interrupted", Status::interrupted);
    }
}

// Up to `ms` for a notice, with a look at the interrupts in between.
void waitForNotice(PortWatch& watch, long long ms, const InterruptGuard& interrupts)
{
    using Clock = std::chrono::steady_clock;
    const auto until = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        checkInterrupts(interrupts);
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
        if (left <= 0 || watch.wait(static_cast<int>(std::min<long long>(left, interruptSliceMs)))) {
            return;
        }
    }
}

} // namespace

PortListing onePort(const PortSelector& selector, const std::vector<PortListing>& listed)
{
    const std::vector<PortListing> found = selected(selector, listed);
    if (found.empty()) {
        throw noPortError(selector, listed);
    }
    if (found.size() > 1) {
        throw severalError(selector, found);
    }
    return found.front();
}

PortListing findPort(const PortSelector& selector)
{
    if (selector.kind == PortSelector::Kind::name) {
        return listingOfName(selector.text);
    }
    return onePort(selector, listSerialPorts());
}

OpenedPort openPort(const PortSelector& selector, const PortSettings& settings, int waitMs,
                    const InterruptGuard& interrupts)
{
    if (waitMs <= 0) {
        Look look = lookOnce(selector, settings);
        if (!look.opened) {
            throw *look.error;
        }
        return std::move(*look.opened);
    }
    using Clock = std::chrono::steady_clock;
    // Watching from before the first look: a port that comes just after it
    // is not missed.
    PortWatch watch(selector);
    const auto start = Clock::now();
    const auto waitedMs = [&start] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    };
    for (;;) {
        checkInterrupts(interrupts);
        Look look = lookOnce(selector, settings);
        if (look.opened) {
            look.opened->waitedMs = waitedMs();
            return std::move(*look.opened);
        }
        if (look.hindrance == Hindrance::final) {
            throw *look.error;
        }
        const long long left = waitMs - waitedMs();
        if (left <= 0) {
            throw waitedError(look, waitMs);
        }
        const int retryMs = look.hindrance == Hindrance::busy      ? busyRetryMs
                            : look.hindrance == Hindrance::refused ? refusedRetryMs
                                                                   : watch.unaskedLookMs();
        waitForNotice(watch, retryMs > 0 ? std::min<long long>(left, retryMs) : left, interrupts);
    }
}

} // namespace kestrin
