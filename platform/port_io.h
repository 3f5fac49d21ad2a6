// The module's one seam to the operating system: a single synchronous read
// and the millisecond tick. Each platform has its own implementation, and the
// tests link a virtual one in their place.
#ifndef KESTRIN_PORT_IO_H
#define KESTRIN_PORT_IO_H

#include <cstdint>

// What a platform learns about the port during one reader's call and keeps
// for that call's later reads, so that they need not ask the system again.
// Its layout is the platform's own; the reader only hosts the room, zeroes it
// at the start of each call and never looks inside.
struct PortNotes {
    alignas(8) unsigned char room[16];
};

// One synchronous read of up to `count` bytes from the host's open port into
// `destination`. Stores the number of bytes delivered in `*delivered` and
// returns the platform's success flag: nonzero when the read worked, even if
// it found no byte in its wait; 0 when it failed.
//
// `waitMs` is how long the caller lets the read wait for a byte: once it has
// passed, the caller stops reading anyway. Linux waits for the port to turn
// readable for at most that long, whatever the descriptor's own settings;
// Windows leaves the waiting to the host's COMMTIMEOUTS. On both, a read that
// fails does not return at once to be retried in a tight loop: it pauses,
// within `waitMs`, first.
int readPort(void* port, unsigned char* destination, int count, int* delivered, std::uint32_t waitMs,
             PortNotes* notes);

// Milliseconds from an arbitrary origin, wrapping modulo 2^32 like Windows'
// GetTickCount.
std::uint32_t tickCount();

#endif
