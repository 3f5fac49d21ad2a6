// Opening and configuring a serial port as a Kestrin host must: raw bytes,
// the line settings, and reads that return as soon as a byte is there or
// after the read wait without one. Kestrin itself never touches the settings.
#ifndef KESTRIN_TOOL_HOST_SERIAL_PORT_H
#define KESTRIN_TOOL_HOST_SERIAL_PORT_H

#include "cli/bytes.h"
#include "host/port_settings.h"

#include <memory>
#include <string>
#include <utility>

namespace kestrin {

// What open() found on the port and changed, for putting it back: each
// platform's own (termios, or DCB and time-outs).
struct SavedSettings;

// Open for as long as the object lives; moving hands the port on. The
// methods are in one file per platform.
//
// The port is the tool's alone while it is open: a port another program
// holds is refused as busy rather than shared, since two readers would take
// each other's bytes. The settings it had before are put back when it closes.
class SerialPort {
public:
    // Opens `name` exclusively and applies `settings`, keeping the settings
    // it had. Throws Error with the cause (a busy port with the status
    // "busy"); the caller names the port.
    static SerialPort open(const std::string& name, const PortSettings& settings);

    SerialPort() = default;
    ~SerialPort() { close(); }
    SerialPort(SerialPort&& other) noexcept { take(other); }
    SerialPort& operator=(SerialPort&& other) noexcept
    {
        if (this != &other) {
            close();
            take(other);
        }
        return *this;
    }
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    bool isOpen() const { return open_; }
    const std::string& name() const { return name_; }
    // What pollUart takes: a HANDLE on Windows, a file descriptor in the
    // pointer on Linux.
    void* handle() const { return handle_; }

    // Throws away whatever arrived before the request, so that a stale reply
    // cannot match.
    void discardInput();

    void write(const Bytes& bytes);

    // Up to `most` bytes that arrive within `waitMs` (none when the line
    // stays quiet). Throws Error with the status "device_gone" when the
    // device went away.
    std::size_t read(unsigned char* into, std::size_t most, int waitMs);

    // Whether the device behind the port went away (hung up, removed, or the
    // port failed), as a poll that answered 0 may hide.
    bool deviceGone() const;

    // Puts the settings the port had before open() back (and lets go of
    // its exclusive use where that is a setting of its own; a lock lasts
    // until the port closes), and nothing else. Safe to call from an
    // interrupt handler's thread while another thread is in a read on the
    // port; close() does it too.
    void restoreSettings() const noexcept;

private:
    SerialPort(std::string name, void* handle) : name_(std::move(name)), handle_(handle), open_(true) {}
    void take(SerialPort& other) noexcept
    {
        name_ = std::move(other.name_);
        handle_ = std::exchange(other.handle_, nullptr);
        open_ = std::exchange(other.open_, false);
        saved_ = std::move(other.saved_);
    }
    void close() noexcept;

    std::string name_;
    void* handle_ = nullptr;
    bool open_ = false;
    // Set once the port is the tool's; shared_ptr because the type is only
    // complete in the platform's file.
    std::shared_ptr<const SavedSettings> saved_;
};

} // namespace kestrin

#endif
