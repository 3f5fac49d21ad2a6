// A raw pseudo-terminal pair: the slave is the host's port, the master plays
// the device.
#ifndef KESTRIN_TESTS_PSEUDO_TERMINAL_H
#define KESTRIN_TESTS_PSEUDO_TERMINAL_H

#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cstdint>
#include <stdexcept>
#include <string>

class PseudoTerminal {
public:
    // Reads on the slave wait up to `readWaitDeciseconds` for a byte.
    explicit PseudoTerminal(cc_t readWaitDeciseconds = 1)
    {
        if (openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0) {
            throw std::runtime_error("openpty failed");
        }
        termios settings{};
        tcgetattr(slave_, &settings);
        cfmakeraw(&settings);
        settings.c_cc[VMIN] = 0;
        settings.c_cc[VTIME] = readWaitDeciseconds;
        tcsetattr(slave_, TCSANOW, &settings);
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
    std::string hostReadsRest() const
    {
        std::string rest;
        char c = 0;
        while (read(slave_, &c, 1) == 1) {
            rest.push_back(c);
        }
        return rest;
    }

private:
    int master_ = -1;
    int slave_ = -1;
};

#endif
