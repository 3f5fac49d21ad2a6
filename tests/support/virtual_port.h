// A scripted serial port on a virtual millisecond clock. Linked in place of
// the real platform layer, it lets the polling logic be tested for hours of
// port time in microseconds of real time.
//
// Bytes are scheduled to arrive at given times. A read that finds a byte
// waiting returns it at once; otherwise it waits up to the read wait (the
// host's port read time-out) and returns the first byte that arrives within
// it, or nothing once the wait is over. With honourWait(), the read waits
// instead for as long as the reader lets it, as the Linux platform layer
// does whatever the port's settings.
#ifndef KESTRIN_TESTS_VIRTUAL_PORT_H
#define KESTRIN_TESTS_VIRTUAL_PORT_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

struct PortNotes;

class VirtualPort {
public:
    // The tick starts at `startTick` (anywhere, near 2^32 included); an empty
    // read costs `readWaitMs` of virtual time (at least 1 ms).
    explicit VirtualPort(std::uint32_t startTick = 1000, std::uint32_t readWaitMs = 10);
    ~VirtualPort();
    VirtualPort(const VirtualPort&) = delete;
    VirtualPort& operator=(const VirtualPort&) = delete;

    // The handle to pass to pollUart.
    void* handle() { return this; }

    // Schedule `bytes` to arrive `atMs` after the clock's start, `gapMs` apart.
    void send(std::uint64_t atMs, const std::string& bytes, std::uint64_t gapMs = 0);
    // From now on every read fails (success flag 0) and delivers nothing,
    // like a read on a closed handle or a pulled-out adapter.
    void failReads() { failing_ = true; }
    // Reads wait for as long as the reader lets them (its `waitMs`) rather
    // than for the read wait, and a failed read sleeps that wait out instead
    // of taking the read wait or an outage's cost: the Linux platform layer.
    void honourWait() { honouringWait_ = true; }
    // Reads that start in [fromMs, toMs) fail and deliver nothing, each taking
    // `costMs` (at least 1 ms): a port that drops out for a while, or reads
    // cut short by signals.
    void failReadsBetween(std::uint64_t fromMs, std::uint64_t toMs, std::uint32_t costMs);
    // Aborts the process on read number `reads` + 1: a tighter bound than the
    // default for harnesses that know how many reads a poll should take.
    void limitReads(std::size_t reads) { readLimit_ = reads; }

    // One entry per read, kept once recordReads() has been called. While
    // recording, each read also writes into the notes the reader hosts, as a
    // platform would, so that the log shows which reads shared them.
    struct Read {
        std::uint64_t atMs;              // virtual time at which the read started
        const unsigned char* destination;
        bool delivered;
        std::uint32_t waitMs;            // how long the reader let it wait
        bool freshNotes;                 // the reader's notes came in all zero
    };
    void recordReads() { recording_ = true; }
    const std::vector<Read>& readLog() const { return log_; }

    std::uint64_t elapsedMs() const { return nowMs_; }
    std::uint32_t tick() const { return static_cast<std::uint32_t>(startTick_ + nowMs_); }
    std::size_t reads() const { return reads_; }
    std::size_t failedReads() const { return failedReads_; }
    std::size_t bytesDelivered() const { return delivered_; }
    // Scheduled bytes nobody has read yet, whether they arrived or not.
    std::string unread() const;

    // Platform-layer entry points, called through readPort and tickCount.
    int read(void* handle, unsigned char* destination, int count, int* delivered, std::uint32_t waitMs,
             PortNotes* notes);

private:
    struct Arrival {
        std::uint64_t atMs;
        unsigned char byte;
    };
    struct Outage {
        std::uint64_t fromMs;
        std::uint64_t toMs;
        std::uint32_t costMs;
    };
    std::uint32_t startTick_;
    std::uint32_t readWaitMs_;
    std::uint64_t nowMs_ = 0;
    std::deque<Arrival> pending_;
    bool failing_ = false;
    bool honouringWait_ = false;
    std::vector<Outage> outages_;
    std::size_t readLimit_;
    bool recording_ = false;
    std::vector<Read> log_;
    std::size_t reads_ = 0;
    std::size_t failedReads_ = 0;
    std::size_t delivered_ = 0;
};

// The port whose clock tickCount() reads; set by VirtualPort's constructor.
VirtualPort& activeVirtualPort();

#endif
