// The sim on a new pseudo-terminal: the host opens the slave path like any
// serial port, and the loop here plays the model on the master side.
#ifndef KESTRIN_TOOL_SIM_PTY_H
#define KESTRIN_TOOL_SIM_PTY_H

#include "host/handles.h"
#include "sim/link.h"
#include "sim/model.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace kestrin::sim {

class Pty {
public:
    // Throws Error when the system has no pseudo-terminal to give.
    static Pty open();

    int master() const { return master_.get(); }
    // False once hung up.
    bool connected() const { return static_cast<bool>(master_); }
    int slave() const { return slave_.get(); }
    const std::string& path() const { return path_; }

    // The sim's own hold on the slave, kept so that it survives hosts
    // opening and closing the port between polls (with no slave open, the
    // master reads EIO), and let go once the last round is answered.
    void closeSlave() { slave_.reset(); }

    // The hosts' opens and closes of the port, as inotify tells them, or -1
    // where it cannot. Readable when there is news for noteHosts().
    int hostsFd() const { return hosts_.get(); }
    // Takes the news. When the last host has closed the port, its exclusive
    // mode goes, as it would with a real port's last close: the sim's own
    // hold on the slave would keep it for ever, and a host that was killed
    // with the port held would keep every later one out.
    void noteHosts();

    // Goes away like an unplugged device: closing the master hangs the
    // host's side up.
    void hangUp()
    {
        master_.reset();
        slave_.reset();
        hosts_.reset();
        hostsOpen_ = 0;
    }

private:
    UniqueFd master_;
    UniqueFd slave_;
    UniqueFd hosts_;
    int hostsOpen_ = 0;
    std::string path_;
};

// A pipe that stops the loop: one byte written to it, from anywhere, a
// signal handler included, ends play().
class StopPipe {
public:
    // Throws Error when no pipe can be made.
    static StopPipe open();

    int readEnd() const { return read_.get(); }
    void stop() const noexcept;

private:
    UniqueFd read_;
    UniqueFd write_;
};

struct PlayOptions {
    std::uint64_t rounds = 0; // 0: no limit
    // With a trace, every chunk in and out is written there as "rx HEX" or
    // "tx HEX", a hangup as "hangup", a vanish as "vanish" and the return
    // as "back PATH".
    std::FILE* trace = nullptr;
    // Taken away while a vanished device is away, and pointed to its new
    // port when it is back.
    PortLink* link = nullptr;
};

// Plays `model` on the pseudo-terminal until `stopFd` turns readable, the
// model hangs up (the pty is closed then), or the rounds are done; in that
// case it returns once the host has closed the port (or after 10 s), having
// closed the sim's own slave. A vanish closes the pty and opens a new one in
// `pty` when the model is back. Each turn does a bounded amount of work, so
// that `stopFd` is heard at once whatever the model is doing. Throws Error
// when a new pty or its link cannot be made.
void play(Model& model, Pty& pty, int stopFd, const PlayOptions& options);

// Milliseconds on the monotonic clock the loop runs on.
std::uint64_t clockMs();

// A sim playing on its own pseudo-terminal and thread for as long as the
// object lives. Throws Error when it cannot start, leaving nothing open.
// Its path is read from another thread: its rules must not vanish.
class BackgroundSim {
public:
    explicit BackgroundSim(std::vector<Rule> rules);
    ~BackgroundSim();
    BackgroundSim(const BackgroundSim&) = delete;
    BackgroundSim& operator=(const BackgroundSim&) = delete;

    const std::string& path() const { return pty_.path(); }

private:
    Pty pty_;
    StopPipe stop_;
    Model model_;
    std::thread thread_;
};

} // namespace kestrin::sim

#endif
