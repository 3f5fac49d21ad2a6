#include "kestrin.h"

#include "port_io.h"
#include "read_uart.h"

#include <cstdint>
#include <cstring>

int pollUart(void* port, int length, unsigned char* pattern, int timeoutMs)
{
    // Refused before anything is read: a longer pattern would overrun
    // rxBuffer, and a null one would be read through.
    if (length > kestrinMaxLength || (length > 0 && pattern == nullptr)) {
        return 0;
    }

    // Zeroed once per call, never between attempts: a short attempt is
    // compared against what earlier attempts left behind.
    unsigned char rxBuffer[kestrinMaxLength];
    std::memset(rxBuffer, 0, sizeof rxBuffer);
    const std::uint32_t startTick = tickCount();

    for (;;) {
        // Only the bytes are judged: an attempt that ended in silence or on a
        // failing port is compared like any other.
        readUart(port, rxBuffer, length);
        const std::uint32_t attemptEndTick = tickCount();

        int matched = 1;
        for (int i = 0; i < length; ++i) {
            if (rxBuffer[i] != pattern[i]) {
                matched = 0;
                break;
            }
        }
        if (matched) {
            return 1;
        }

        // The budget is checked only between attempts, so at least one
        // attempt is always made and a running one is never cut short.
        const auto elapsed = static_cast<std::int32_t>(attemptEndTick - startTick);
        if (elapsed >= timeoutMs) {
            return 0;
        }
    }
}
