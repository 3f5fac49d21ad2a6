// A pseudo-terminal pair: the slave is the host's port, the master plays the
// device. Raw by default; hosts that leave their port otherwise are set up
// with LineSettings.
#ifndef KESTRIN_TESTS_PSEUDO_TERMINAL_H
#define KESTRIN_TESTS_PSEUDO_TERMINAL_H

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdint>
#include <stdexcept>
#include <string>

// How the host left its side of the line.
struct LineSettings {
    bool canonical = false; // true: the kernel's defaults, line by line, echo on
    cc_t vmin = 0;          // raw mode only
    cc_t vtime = 1;         // raw mode only, tenths of a second
    bool nonBlocking = false;
};

class PseudoTerminal {
public:
    // Raw; reads on the slave wait up to `readWaitDeciseconds` for a byte.
    explicit PseudoTerminal(cc_t readWaitDeciseconds = 1) : PseudoTerminal(LineSettings{false, 0, readWaitDeciseconds})
    {
    }
    explicit PseudoTerminal(const LineSettings& line)
    {
        if (openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0) {
            throw std::runtime_error("openpty failed");
        }
        if (!line.canonical) {
            termios settings{};
            tcgetattr(slave_, &settings);
            cfmakeraw(&settings);
            settings.c_cc[VMIN] = line.vmin;
            settings.c_cc[VTIME] = line.vtime;
            tcsetattr(slave_, TCSANOW, &settings);
        }
        if (line.nonBlocking) {
            fcntl(slave_, F_SETFL, fcntl(slave_, F_GETFL) | O_NONBLOCK);
        }
    }
    ~PseudoTerminal()
    {
        closeMaster();
        if (slave_ >= 0) {
            close(slave_);
        }
    }
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    void* port() const { return reinterpret_cast<void*>(static_cast<std::intptr_t>(slave_)); }
    int slave() const { return slave_; }
    int master() const { return master_; }

    void deviceSends(const std::string& bytes) const
    {
        if (write(master_, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
            throw std::runtime_error("write to the pseudo-terminal failed");
        }
    }
    void closeMaster()
    {
        if (master_ >= 0) {
            close(master_);
            master_ = -1;
        }
    }

    // Whatever the host side can still read, waiting a little for stragglers.
    std::string hostReadsRest() const { return readsRest(slave_); }

    // What is left to read on `fd`, whatever its settings: each read is made
    // only once the kernel counts a byte waiting, so it never blocks.
    static std::string readsRest(int fd)
    {
        std::string rest;
        for (;;) {
            // Poll only as a pause for stragglers: with VMIN above 1 it may
            // not report a lone byte.
            pollfd readable{fd, POLLIN, 0};
            poll(&readable, 1, 100);
            int waiting = 0;
            char c = 0;
            if (ioctl(fd, FIONREAD, &waiting) != 0 || waiting <= 0 || read(fd, &c, 1) != 1) {
                return rest;
            }
            rest.push_back(c);
        }
    }

private:
    int master_ = -1;
    int slave_ = -1;
};

#endif
