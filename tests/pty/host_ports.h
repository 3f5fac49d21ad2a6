// Every kind of descriptor a host may hand Kestrin: terminals left in the
// ways hosts leave them, a socket (a network serial bridge), a pipe, and
// ports that are gone. The test or benchmark keeps the device's end.
#ifndef KESTRIN_TESTS_HOST_PORTS_H
#define KESTRIN_TESTS_HOST_PORTS_H

#include "pseudo_terminal.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

enum class PortKind {
    rawVtime1,          // raw, VMIN 0, VTIME 1: the kestrin tool's settings
    hungUp,             // a pseudo-terminal whose device side closed
    neverOpened,        // descriptor 9999, with nothing behind it
    closed,             // a descriptor the host has closed
    nonBlockingVtime0,  // raw, O_NONBLOCK, VMIN 0, VTIME 0: reads return at once
    blockingVmin1,      // raw, blocking, VMIN 1, VTIME 0: reads wait for a byte for ever
    canonical,          // the kernel's defaults: canonical mode, blocking
    blockingVmin4,      // raw, blocking, VMIN 4, VTIME 0: poll() waits for 4 bytes
    socket,             // one end of a stream socket pair
    pipe,               // the read end of a pipe
    socketPeerClosed,   // a socket whose other end closed
    pipeWriterClosed,   // a pipe whose write end closed
};

struct PortKindInfo {
    PortKind kind;
    const char* name;        // short, for test and table names
    const char* description; // for people
    bool gone;               // nothing can arrive any more
};

inline const std::vector<PortKindInfo>& allPortKinds()
{
    static const std::vector<PortKindInfo> kinds = {
        {PortKind::rawVtime1, "raw_vtime1", "healthy silent terminal, raw, VMIN 0, VTIME 1 (the tool's settings)", false},
        {PortKind::hungUp, "hung_up", "pseudo-terminal whose other side closed (a yanked USB adapter)", true},
        {PortKind::neverOpened, "fd_9999", "descriptor 9999, never opened", true},
        {PortKind::closed, "closed_fd", "descriptor the host closed", true},
        {PortKind::nonBlockingVtime0, "nonblocking_vtime0", "O_NONBLOCK, VMIN 0, VTIME 0 (a plain pyserial Serial)", false},
        {PortKind::blockingVmin1, "blocking_vmin1", "blocking, VMIN 1, VTIME 0 (a port left at its defaults)", false},
        {PortKind::canonical, "canonical", "canonical mode, blocking (a terminal never set to raw)", false},
        {PortKind::blockingVmin4, "blocking_vmin4", "blocking, VMIN 4, VTIME 0", false},
        {PortKind::socket, "socket", "stream socket pair (a network serial bridge)", false},
        {PortKind::pipe, "pipe", "pipe", false},
        {PortKind::socketPeerClosed, "socket_peer_closed", "stream socket whose peer closed", true},
        {PortKind::pipeWriterClosed, "pipe_writer_closed", "pipe whose writer closed", true},
    };
    return kinds;
}

inline const PortKindInfo& portKindInfo(PortKind kind)
{
    for (const PortKindInfo& info : allPortKinds()) {
        if (info.kind == kind) {
            return info;
        }
    }
    throw std::invalid_argument("unknown port kind");
}

inline bool descriptorIsOpen(int fd)
{
    return fcntl(fd, F_GETFD) != -1;
}

class HostPort {
public:
    explicit HostPort(PortKind kind) : kind_(kind)
    {
        switch (kind) {
        case PortKind::rawVtime1:
        case PortKind::hungUp:
            pty_ = std::make_unique<PseudoTerminal>(LineSettings{false, 0, 1, false});
            break;
        case PortKind::nonBlockingVtime0:
            pty_ = std::make_unique<PseudoTerminal>(LineSettings{false, 0, 0, true});
            break;
        case PortKind::blockingVmin1:
            pty_ = std::make_unique<PseudoTerminal>(LineSettings{false, 1, 0, false});
            break;
        case PortKind::canonical:
            pty_ = std::make_unique<PseudoTerminal>(LineSettings{true, 0, 0, false});
            break;
        case PortKind::blockingVmin4:
            pty_ = std::make_unique<PseudoTerminal>(LineSettings{false, 4, 0, false});
            break;
        case PortKind::neverOpened:
            host_ = 9999;
            if (descriptorIsOpen(host_)) {
                throw std::runtime_error("descriptor 9999 is open in this process");
            }
            break;
        case PortKind::closed:
            host_ = open("/dev/null", O_RDONLY);
            close(host_);
            break;
        case PortKind::socket:
        case PortKind::socketPeerClosed: {
            int ends[2];
            if (socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0) {
                throw std::runtime_error("socketpair failed");
            }
            host_ = ends[0];
            device_ = ends[1];
            owned_ = true;
            break;
        }
        case PortKind::pipe:
        case PortKind::pipeWriterClosed: {
            int ends[2];
            if (::pipe(ends) != 0) {
                throw std::runtime_error("pipe failed");
            }
            host_ = ends[0];
            device_ = ends[1];
            owned_ = true;
            break;
        }
        }
        if (portKindInfo(kind).gone) {
            deviceGoesAway();
        }
    }
    ~HostPort()
    {
        deviceGoesAway();
        if (owned_) {
            close(host_);
        }
    }
    HostPort(const HostPort&) = delete;
    HostPort& operator=(const HostPort&) = delete;

    PortKind kind() const { return kind_; }
    void* handle() const
    {
        return pty_ ? pty_->port() : reinterpret_cast<void*>(static_cast<std::intptr_t>(host_));
    }
    int descriptor() const { return pty_ ? pty_->slave() : host_; }

    void deviceSends(const std::string& bytes) const
    {
        if (pty_) {
            pty_->deviceSends(bytes);
        } else if (device_ < 0 || write(device_, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
            throw std::runtime_error("the device cannot send on this port");
        }
    }
    void deviceGoesAway()
    {
        if (pty_) {
            pty_->closeMaster();
        }
        if (device_ >= 0) {
            close(device_);
            device_ = -1;
        }
    }

    // What the host can still read, waiting a little for stragglers.
    std::string hostReadsRest() const
    {
        return PseudoTerminal::readsRest(descriptor());
    }

private:
    PortKind kind_;
    std::unique_ptr<PseudoTerminal> pty_;
    int host_ = -1;
    int device_ = -1;
    bool owned_ = false;
};

#endif
