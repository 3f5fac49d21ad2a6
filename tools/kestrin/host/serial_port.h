// Opening and configuring a serial port as a Kestrin host must: raw bytes,
// the line settings, and reads that return as soon as a byte is there or
// after the read wait without one. Kestrin itself never touches the settings.
#ifndef KESTRIN_TOOL_HOST_SERIAL_PORT_H
#define KESTRIN_TOOL_HOST_SERIAL_PORT_H

#include "base/bytes.h"
#include "base/lines.h"
#include "base/port_settings.h"
#include "host/handles.h"

#include <memory>
#include <string>

namespace kestrin {

// What open() found on the port and changed, for putting it back: each
// platform's own (termios and the modem lines, or DCB and time-outs).
struct SavedSettings;

// Open for as long as the object lives; moving hands the port on. The
// methods are in one file per platform.
//
// The port is the tool's alone while it is open: a port another program
// holds is refused as busy rather than shared, since two readers would take
// each other's bytes. The settings it had before are put back when it
// closes.
class SerialPort {
public:
    // Opens `name` exclusively and applies `settings`, keeping the settings
    // it had. Throws Error with the cause (a busy port with Status::busy);
    // the caller names the port.
    static SerialPort open(const std::string& name, const PortSettings& settings);

    SerialPort() = default;
    ~SerialPort() { close(); }
    SerialPort(SerialPort&& other) noexcept = default;
    SerialPort& operator=(SerialPort&& other) noexcept
    {
        if (this != &other) {
            close();
            name_ = std::move(other.name_);
            handle_ = std::move(other.handle_);
            saved_ = std::move(other.saved_);
        }
        return *this;
    }
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    bool isOpen() const { return static_cast<bool>(handle_); }
    const std::string& name() const { return name_; }
    // What pollUart takes.
    void* handle() const { return libraryHandle(handle_); }
#ifndef _WIN32
    // For waiting on the port among other descriptors: readable when bytes
    // are there or the device went away, which read() then tells.
    int descriptor() const { return handle_.get(); }
#endif

    // Throws away whatever arrived before the request, so that a stale reply
    // cannot match.
    void discardInput();

    void write(const Bytes& bytes);

    // Up to `most` bytes that arrive within `waitMs` (none when the line
    // stays quiet). Throws Error with Status::deviceGone when the device
    // went away.
    std::size_t read(unsigned char* into, std::size_t most, int waitMs);

    // Drives the modem lines through `steps`, in order, waiting where they
    // say. A pulse is taken from the level the line has now (the one the
    // tool set, or found at open: Windows has no call that reads an output
    // line back). The levels found at open come back with the settings.
    // Throws Error naming the line for a port without modem lines (a
    // pseudo-terminal), and a usage Error for RTS while RTS/CTS flow control
    // drives it. Sleeps on the calling thread through the waits, which
    // nothing cuts short; restoreSettings may run meanwhile.
    void driveLines(const std::vector<LineStep>& steps);

    // Whether the device behind the port went away (hung up, removed, or the
    // port failed), as a poll that answered 0 may hide.
    bool deviceGone() const;

    // Puts the settings the port had before open() back and lets go of its
    // exclusive use where that is a setting of its own (a lock lasts until
    // the port closes), and nothing else. Safe while another thread is in a
    // read on the port: an interrupt does it while the library polls.
    void restoreSettings() const noexcept;

private:
    SerialPort(std::string name, PortHandle handle) : name_(std::move(name)), handle_(std::move(handle)) {}
    void close() noexcept
    {
        if (handle_) {
            restoreSettings();
            handle_.reset();
            saved_.reset();
        }
    }

    std::string name_;
    PortHandle handle_;
    // Set once the port is the tool's; shared_ptr because the type is only
    // complete in the platform's file.
    std::shared_ptr<const SavedSettings> saved_;
};

} // namespace kestrin

#endif
