// The module's one seam to the operating system: a single synchronous read
// and the millisecond tick. Each platform has its own implementation, and the
// tests link a virtual one in their place.
#ifndef KESTRIN_PORT_IO_H
#define KESTRIN_PORT_IO_H

#include <cstdint>

// One synchronous read of up to `count` bytes from the host's open port into
// `destination`. Stores the number of bytes delivered in `*delivered` and
// returns the platform's success flag (nonzero on success).
int readPort(void* port, unsigned char* destination, int count, int* delivered);

// Milliseconds from an arbitrary origin, wrapping modulo 2^32 like Windows'
// GetTickCount.
std::uint32_t tickCount();

#endif
