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
    int offset = 0;
    for (;;) {
        // One byte per read, so the idle clock restarts on every byte.
        int delivered = 0;
        readPort(port, buffer + offset, 1, &delivered);
        // The success flag is ignored: a failed read is just an empty one.
        if (delivered > 0) {
            lastByteTick = tickCount();
        }
        // Unsigned difference: a tick wrap between the two readings is harmless.
        if (tickCount() - lastByteTick > idleLimitMs) {
            return offset;
        }
        offset += delivered > 0 ? 1 : 0;
        if (offset >= count) {
            return offset;
        }
    }
}
