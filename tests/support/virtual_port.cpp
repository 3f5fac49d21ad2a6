#include "virtual_port.h"

#include "port_io.h"

#include <algorithm>
#include <iterator>
#include <cstdio>
#include <cstdlib>

namespace {

VirtualPort* active = nullptr;

// A reader that loops without end would hang the test run; this many reads
// is far beyond any scenario the tests script.
constexpr std::size_t readLimit = 50'000'000;

[[noreturn]] void die(const char* why)
{
    std::fprintf(stderr, "virtual port: %s\n", why);
    std::abort();
}

} // namespace

VirtualPort::VirtualPort(std::uint32_t startTick, std::uint32_t readWaitMs)
    : startTick_(startTick), readWaitMs_(std::max<std::uint32_t>(readWaitMs, 1)), readLimit_(readLimit)
{
    active = this;
}

VirtualPort::~VirtualPort()
{
    if (active == this) {
        active = nullptr;
    }
}

void VirtualPort::send(std::uint64_t atMs, const std::string& bytes, std::uint64_t gapMs)
{
    for (const char c : bytes) {
        pending_.push_back({atMs, static_cast<unsigned char>(c)});
        atMs += gapMs;
    }
    std::stable_sort(pending_.begin(), pending_.end(),
                     [](const Arrival& a, const Arrival& b) { return a.atMs < b.atMs; });
}

void VirtualPort::failReadsBetween(std::uint64_t fromMs, std::uint64_t toMs, std::uint32_t costMs)
{
    outages_.push_back({fromMs, toMs, std::max<std::uint32_t>(costMs, 1)});
}

std::string VirtualPort::unread() const
{
    std::string rest;
    for (const Arrival& a : pending_) {
        rest.push_back(static_cast<char>(a.byte));
    }
    return rest;
}

int VirtualPort::read(void* handle, unsigned char* destination, int count, int* delivered, std::uint32_t waitMs,
                      PortNotes* notes)
{
    if (handle != this) {
        die("read on a handle other than the one the test passed");
    }
    if (count != 1) {
        die("read asked for other than exactly one byte");
    }
    if (++reads_ > readLimit_) {
        std::fprintf(stderr, "virtual port: more than %zu reads\n", readLimit_);
        die(readLimit_ == readLimit ? "the reader never stops" : "the poll reads on where it should have stopped");
    }
    if (recording_) {
        if (notes == nullptr) {
            die("read without the reader's notes");
        }
        const bool fresh = std::all_of(std::begin(notes->room), std::end(notes->room),
                                       [](unsigned char b) { return b == 0; });
        log_.push_back({nowMs_, destination, false, waitMs, fresh});
        std::fill(std::begin(notes->room), std::end(notes->room), static_cast<unsigned char>(0xA5));
    }
    *delivered = 0;
    const std::uint64_t waitsMs = honouringWait_ ? waitMs : readWaitMs_;
    if (failing_) {
        ++failedReads_;
        nowMs_ += waitsMs;
        return 0;
    }
    for (const Outage& o : outages_) {
        if (nowMs_ >= o.fromMs && nowMs_ < o.toMs) {
            ++failedReads_;
            nowMs_ += honouringWait_ ? waitMs : o.costMs;
            return 0;
        }
    }
    if (pending_.empty() || pending_.front().atMs > nowMs_ + waitsMs) {
        nowMs_ += waitsMs;
        return 1;
    }
    // A byte already waiting, or one arriving within the wait, ends the read
    // when it arrives.
    nowMs_ = std::max(nowMs_, pending_.front().atMs);
    *destination = pending_.front().byte;
    pending_.pop_front();
    *delivered = 1;
    if (recording_) {
        log_.back().delivered = true;
    }
    ++delivered_;
    return 1;
}

VirtualPort& activeVirtualPort()
{
    if (active == nullptr) {
        die("no virtual port is active");
    }
    return *active;
}

int readPort(void* port, unsigned char* destination, int count, int* delivered, std::uint32_t waitMs,
             PortNotes* notes)
{
    return activeVirtualPort().read(port, destination, count, delivered, waitMs, notes);
}

std::uint32_t tickCount()
{
    return activeVirtualPort().tick();
}
