// Replies already waiting in a virtual port, for the logic figures. The port
// is refilled in batches, so the refill costs little per poll and no port
// has to be built inside a timed loop.
#ifndef KESTRIN_BENCH_WAITING_REPLIES_H
#define KESTRIN_BENCH_WAITING_REPLIES_H

#include "kestrin.h"
#include "virtual_port.h"

#include <cstddef>
#include <limits>
#include <string>

// A device's longest reply; shorter replies are its prefixes.
inline std::string replyOfLength(int length)
{
    const std::string longest = "READY\r\nFW 1.0.0 OK\r\n";
    static_assert(kestrinMaxLength == 20, "longest reply no longer fits the limit");
    return longest.substr(0, static_cast<std::size_t>(length));
}

class WaitingReplies {
public:
    // Each poll finds `perPoll` waiting: the reply, or what goes before it too.
    WaitingReplies(const std::string& perPoll, int batch)
    {
        for (int i = 0; i < batch; ++i) {
            batch_ += perPoll;
        }
        batchPolls_ = batch;
        // Every poll here ends on a match, so the fake's guard against an
        // endless reader would only cut long runs short.
        port_.limitReads(std::numeric_limits<std::size_t>::max());
    }

    // Call before each poll.
    void refill()
    {
        if (left_ == 0) {
            port_.send(0, batch_);
            left_ = batchPolls_;
        }
        --left_;
    }

    void* handle() { return port_.handle(); }
    const VirtualPort& port() const { return port_; }

private:
    VirtualPort port_;
    std::string batch_;
    int batchPolls_ = 0;
    int left_ = 0;
};

#endif
