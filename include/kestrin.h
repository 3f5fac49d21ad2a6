// Kestrin: checks whether a device on a serial port answers with an expected
// sequence of bytes.
//
// The host program opens and configures the port and keeps ownership of it;
// Kestrin only reads from it. The functions have C++ linkage on purpose: host
// programs resolve them by their decorated names (GetProcAddress, dlsym), so
// their parameter types are part of the binary interface and must not change.
#ifndef KESTRIN_H
#define KESTRIN_H

// The longest expected reply pollUart accepts, in bytes.
const int kestrinMaxLength = 20;

// Reads `length` bytes from `port` one byte at a time and compares them with
// `pattern`, attempt after attempt, until an attempt matches or `timeoutMs`
// (counted from entry, tested only between attempts) has passed. An attempt
// ends early once no byte has arrived for more than 5000 ms.
//
// `port` is a Windows HANDLE, or on Linux a file descriptor carried in the
// pointer: (void*)(intptr_t)fd. Returns 1 on a match (and at once for a
// length of 0 or less), otherwise 0. A length above kestrinMaxLength, or a
// null pattern with a positive length, returns 0 without reading the port.
// The elapsed time is compared as a signed 32-bit count, so a budget of
// INT_MAX never runs out: such a poll returns only on a match.
int pollUart(void* port, int length, unsigned char* pattern, int timeoutMs);

// 0x01000000: major version in the most significant byte.
int KestrinVersion();

// A short description of the module. The text lives in one module-owned
// buffer whose address is the same on every call; do not free it.
char* KestrinAbout();

#endif
