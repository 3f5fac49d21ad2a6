// The names a Windows serial port goes by: as typed (COM3), as opened
// (\\.\COM3), and as the claim that keeps a second kestrin off it.
#ifndef KESTRIN_TOOL_HOST_PORT_NAMES_WINDOWS_H
#define KESTRIN_TOOL_HOST_PORT_NAMES_WINDOWS_H

#include <string>

namespace kestrin {

// "COM12" needs the device namespace prefix to open at all (COM1 to COM9
// open without, COM10 and up do not); a name that has one keeps it.
std::string portDevicePath(const std::string& name);

// One name per port however it was typed (com3, COM3, \\.\COM3), usable
// as a kernel object's name.
std::string portClaimName(const std::string& name);

// n for "COMn" (any case, 1 to 255 as Windows numbers them), else -1.
int comPortNumber(const std::string& name);

} // namespace kestrin

#endif
