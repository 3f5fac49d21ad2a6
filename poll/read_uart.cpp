#include "read_uart.h"

#include "port_io.h"

const std::uint32_t idleLimitMs = 5000;

ReadResult readUart(void* port, unsigned char* buffer, int count)
{
    // The idle clock runs from entry, not from the first read.
    std::uint32_t lastByteTick = tickCount();
    if (count <= 0) {
        return {0, ReadEnd::complete};
    }
    std::uint32_t idleMs = 0;
    int offset = 0;
    // Only what failed in the silence that ends a call says how it ended: a
    // read that failed before the last byte came did no lasting harm.
    bool failedSinceLastByte = false;
    // Hosted here, once per call, so the platform keeps nothing between calls.
    PortNotes notes{};
    for (;;) {
        // One byte per read, so the idle clock restarts on every byte. The
        // read need not wait beyond the moment the idle test below stops the
        // reader; that moment comes from the tick the test already took.
        int delivered = 0;
        const int worked = readPort(port, buffer + offset, 1, &delivered, idleLimitMs + 1 - idleMs, &notes);
        // Only a byte restarts the idle clock: a failed read that delivered
        // none is waited past like any other empty one.
        if (delivered > 0) {
            lastByteTick = tickCount();
            failedSinceLastByte = false;
        } else if (worked == 0) {
            failedSinceLastByte = true;
        }
        // Unsigned difference: a tick wrap between the two readings is harmless.
        idleMs = tickCount() - lastByteTick;
        if (idleMs > idleLimitMs) {
            return {offset, failedSinceLastByte ? ReadEnd::idleStopAfterFailedReads : ReadEnd::idleStop};
        }
        offset += delivered > 0 ? 1 : 0;
        if (offset >= count) {
            return {offset, ReadEnd::complete};
        }
    }
}
