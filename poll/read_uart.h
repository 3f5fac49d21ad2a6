#ifndef KESTRIN_READ_UART_H
#define KESTRIN_READ_UART_H

#include <cstdint>

// A reader gives up once no byte has arrived for longer than this.
extern const std::uint32_t idleLimitMs;

// How a reader's call ended.
enum class ReadEnd {
    complete,                 // every requested byte arrived (or none was requested)
    idleStop,                 // the idle limit passed on a port that read without fault
    idleStopAfterFailedReads, // the idle limit passed, and reads failed since the last byte
};

struct ReadResult {
    int received; // bytes placed at the start of the buffer
    ReadEnd end;
};

// Reads up to `count` bytes from `port` into buffer[0..count), one byte per
// platform read, until all have arrived or the port has been idle for longer
// than idleLimitMs. Positions after the last byte received are left as they
// were.
ReadResult readUart(void* port, unsigned char* buffer, int count);

#endif
