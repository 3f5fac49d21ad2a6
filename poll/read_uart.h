#ifndef KESTRIN_READ_UART_H
#define KESTRIN_READ_UART_H

#include <cstdint>

// A reader gives up once no byte has arrived for longer than this.
extern const std::uint32_t idleLimitMs;

// Reads up to `count` bytes from `port` into buffer[0..count), one byte per
// platform read, until all have arrived or the port has been idle for longer
// than idleLimitMs. Positions after the last byte received are left as they
// were. Returns the number of bytes received.
int readUart(void* port, unsigned char* buffer, int count);

#endif
