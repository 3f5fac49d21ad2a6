#include "read_uart.h"

#include "port_io.h"

const std::uint32_t idleLimitMs = 5000;

int readUart(void* port, unsigned char* buffer, int count)
{
    // The idle clock runs from entry, not from the first read.
    std::uint32_t lastByteTick = tickCount();
    if (count <= 0) {
        return 0;
    }
    std::uint32_t idleMs = 0;
    int offset = 0;
    PortNotes notes{};
    for (;;) {
        // One byte per read, so the idle clock restarts on every byte. The
        // read need not wait beyond the moment the idle test below stops the
        // reader; that moment comes from the tick the test already took.
        int delivered = 0;
        readPort(port, buffer + offset, 1, &delivered, idleLimitMs + 1 - idleMs, &notes);
        // The success flag is ignored: a failed read is just an empty one.
        if (delivered > 0) {
            lastByteTick = tickCount();
        }
        // Unsigned difference: a tick wrap between the two readings is harmless.
        idleMs = tickCount() - lastByteTick;
        if (idleMs > idleLimitMs) {
            return offset;
        }
        offset += delivered > 0 ? 1 : 0;
        if (offset >= count) {
            return offset;
        }
    }
}
