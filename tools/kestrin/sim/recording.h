// A conversation with a real device, written as a script for the sim: what
// the device said to what the host asked, with its timing, so that
// `kestrin sim --script FILE` plays the device back.
#ifndef KESTRIN_TOOL_SIM_RECORDING_H
#define KESTRIN_TOOL_SIM_RECORDING_H

#include "base/bytes.h"

#include <cstdint>
#include <string>
#include <vector>

namespace kestrin::sim {

class Recording {
public:
    // What the host sent, `atMs` since the recording began.
    void hostSent(const Bytes& bytes, std::uint64_t atMs);
    // What the device sent.
    void deviceSent(const Bytes& bytes, std::uint64_t atMs);

    // The script so far: one rule per line, a request being what the host
    // sent since the device last spoke, its reply what the device sent until
    // the host spoke again, each piece of it after the pause it came after.
    std::string script() const;

private:
    struct Piece {
        std::uint64_t afterMs; // since the request, or since the piece before
        Bytes bytes;
    };
    struct Exchange {
        Bytes request;          // empty: the device spoke unprompted
        std::uint64_t atMs = 0; // when it began: the request, or the first piece
        std::vector<Piece> reply;
        std::uint64_t times = 1;
    };
    void close();

    std::vector<Exchange> done_;
    Exchange open_;
    bool replying_ = false;
    std::uint64_t lastMs_ = 0;
};

} // namespace kestrin::sim

#endif
