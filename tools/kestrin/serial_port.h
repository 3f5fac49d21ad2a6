// Opening and configuring a serial port as a Kestrin host must: raw bytes,
// the line settings, and reads that return as soon as a byte is there or
// after the read wait without one. Kestrin itself never touches the settings.
#ifndef KESTRIN_TOOL_SERIAL_PORT_H
#define KESTRIN_TOOL_SERIAL_PORT_H

#include "bytes.h"
#include "port_settings.h"

#include <string>
#include <vector>

namespace kestrin {

struct SerialPort {
    std::string name;
    // What pollUart takes: a HANDLE on Windows, a file descriptor in the
    // pointer on Linux.
    void* handle = nullptr;
    bool open = false;
};

// On failure `error` gives the cause (the caller names the port).
bool openSerialPort(const std::string& name, const PortSettings& settings, SerialPort& port, std::string& error);

// Throws away whatever arrived before the request, so that a stale reply
// cannot match.
bool discardInput(SerialPort& port, std::string& error);

bool writeBytes(SerialPort& port, const Bytes& bytes, std::string& error);

void closeSerialPort(SerialPort& port);

struct PortListing {
    std::string name;
    std::string detail; // where a link points, or empty
};

// The serial ports this machine has.
std::vector<PortListing> listSerialPorts();

} // namespace kestrin

#endif
