#include "port_io.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <type_traits>
#include <unistd.h>

// The host may hand over any descriptor: a terminal in raw mode with any
// VMIN/VTIME, blocking or not, one left in canonical mode, a socket, a pipe.
// A blind read() could return at once on some (and be retried in a tight
// loop) or block for ever on others, so a read is made only once a byte is
// known to be there: counted as waiting (FIONREAD, the cheapest look when a
// reply is already in), or else waited for in poll(), for no longer than the
// caller can use. The one exception is a calm terminal in the middle of a
// reply (see Pace below), whose own read() waits safely. The
// descriptor's flags and terminal settings are the host's and are never
// changed.

namespace {

constexpr std::int64_t nsPerMs = 1'000'000;
constexpr std::int64_t nsPerSecond = 1'000'000'000;

// Most replies that are not there yet arrive within this first look for
// them. Only a longer wait pays for one more wake-up; on a terminal that
// wakes pollers only at VMIN bytes, a byte that arrives alone may be seen
// this late.
constexpr int firstLookMs = 250;

// A terminal in raw mode with VMIN above 1 and VTIME 0 reports itself
// readable only once VMIN bytes are in, although a one-byte read would take
// the first at once. On such a port the wait goes in slices, with a look at
// how many bytes are in between them: short ones first, for bytes that
// follow each other, then longer ones while the line stays quiet.
constexpr int firstSliceMs = 10;
constexpr int longestSliceMs = 100;

std::int64_t monotonicNs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * nsPerSecond + now.tv_nsec;
}

std::int64_t deadlineAfter(std::uint32_t waitMs)
{
    return monotonicNs() + static_cast<std::int64_t>(waitMs) * nsPerMs;
}

// A port that hung up or failed answers every read at once, so reading it
// again would spin. Sleeping out the wait instead ends the caller's attempt
// exactly when its idle limit would have, at no cost. The read still failed.
int failAfterSleepingUntil(std::int64_t deadlineNs)
{
    const timespec at{static_cast<time_t>(deadlineNs / nsPerSecond), static_cast<long>(deadlineNs % nsPerSecond)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
    }
    return 0;
}

// What the terminal settings say about reading the port. Read at most once
// per call: before its first wait, or for an empty read that did not wait;
// never after a wake-up, so that nothing but reads stands between a byte's
// arrival and the caller.
enum class Terminal : unsigned char {
    unknown = 0,     // not looked at yet in this call
    none,            // no terminal (socket, pipe, file), or one that hung up
    canonical,       // line by line; its end-of-file character reads as empty
    calm,            // raw, VMIN 0, VTIME set: read() waits by itself, up to VTIME
    wakesOnlyAtVmin, // raw, VMIN above 1, VTIME 0: poll() waits for VMIN bytes
    otherRaw,        // raw otherwise: read() may return at once or never
};

struct Kind {
    Terminal terminal;
    std::uint32_t vtimeMs; // a calm terminal's VTIME, in milliseconds
};

Kind classify(int fd)
{
    termios settings{};
    if (tcgetattr(fd, &settings) != 0) {
        return {Terminal::none, 0};
    }
    if ((settings.c_lflag & ICANON) != 0) {
        return {Terminal::canonical, 0};
    }
    const cc_t vmin = settings.c_cc[VMIN];
    const cc_t vtime = settings.c_cc[VTIME];
    if (vmin == 0 && vtime > 0) {
        return {Terminal::calm, 100u * vtime};
    }
    if (vmin > 1 && vtime == 0) {
        return {Terminal::wakesOnlyAtVmin, 0};
    }
    return {Terminal::otherRaw, 0};
}

// How the next read is made. A calm terminal (the tool's settings, and most
// hosts') waits in read() itself, for a byte or for VTIME. Once a reply is
// flowing on one, the bytes that follow are read directly, one system call
// each, as a read alone always did there; while it is quiet, its reads wait
// in poll() like any other's, which wakes once where VTIME would wake ten
// times a second.
enum class Pace : unsigned char {
    countFirst = 0, // count the waiting bytes, wait if there are none, read
    direct,         // a calm terminal with a reply flowing: read at once
    alwaysCount,    // a direct read went astray (O_NONBLOCK, a byte just after
                    // VTIME): count for the rest of the call
};

// The platform's half of PortNotes. All zero means nothing known.
struct Notes {
    Kind kind;
    Pace pace;
};
static_assert(sizeof(Notes) <= sizeof(PortNotes::room) && alignof(Notes) <= alignof(PortNotes),
              "the notes must fit the room the reader hosts");
static_assert(std::is_trivially_copyable<Notes>::value, "the notes are copied in and out of the room");

enum class Wait { readable, timedOut, interrupted, gone };

Wait look(int fd, int timeoutMs)
{
    pollfd port{fd, POLLIN, 0};
    const int ready = ::poll(&port, 1, timeoutMs);
    if (ready == 0) {
        return Wait::timedOut;
    }
    if (ready < 0) {
        return errno == EINTR ? Wait::interrupted : Wait::gone;
    }
    // Bytes first: a port that hung up may still hold some, and the read
    // tells them apart from an end of file.
    return (port.revents & POLLIN) != 0 ? Wait::readable : Wait::gone;
}

enum class Count { some, none, gone };

// How many bytes a read would find. A descriptor that cannot say (no
// terminal, socket, pipe or file) counts as none, and is waited for in poll().
Count bytesWaiting(int fd)
{
    int waiting = 0;
    if (ioctl(fd, FIONREAD, &waiting) == 0) {
        return waiting > 0 ? Count::some : Count::none;
    }
    // A terminal that hung up answers EIO to every request.
    return errno == EBADF || errno == EIO ? Count::gone : Count::none;
}

// The rest of a wait that outlasted the first look. Interrupted polls go on
// for what is left.
Wait waitUntil(int fd, std::int64_t deadlineNs, bool sliced)
{
    std::int64_t sliceMs = firstSliceMs;
    for (;;) {
        const std::int64_t leftNs = deadlineNs - monotonicNs();
        if (leftNs <= 0) {
            return Wait::timedOut;
        }
        if (sliced) {
            const Count waiting = bytesWaiting(fd);
            if (waiting != Count::none) {
                return waiting == Count::some ? Wait::readable : Wait::gone;
            }
        }
        // Rounded up: poll() never returns before its time-out, so neither
        // does the wait.
        std::int64_t timeoutMs = (leftNs + nsPerMs - 1) / nsPerMs;
        if (sliced && timeoutMs > sliceMs) {
            timeoutMs = sliceMs;
            sliceMs = sliceMs * 2 < longestSliceMs ? sliceMs * 2 : longestSliceMs;
        }
        if (timeoutMs > INT_MAX) {
            timeoutMs = INT_MAX;
        }
        const Wait w = look(fd, static_cast<int>(timeoutMs));
        if (w == Wait::readable || w == Wait::gone) {
            return w;
        }
    }
}

// poll()'s events for the port now, without waiting.
short eventsNow(int fd)
{
    pollfd port{fd, POLLIN, 0};
    const int ready = ::poll(&port, 1, 0);
    return ready < 0 ? POLLNVAL : ready == 0 ? 0 : port.revents;
}

// A calm terminal in the middle of a reply: its read() waits by itself, for
// no longer than VTIME.
int readDirect(int fd, unsigned char* destination, int count, int* delivered, std::uint32_t waitMs, Notes& notes)
{
    const std::int64_t deadlineNs = deadlineAfter(waitMs);
    const ssize_t got = ::read(fd, destination, static_cast<size_t>(count));
    if (got > 0) {
        *delivered = static_cast<int>(got);
        return 1;
    }
    if (got < 0 && errno == EINTR) {
        return 0;
    }
    // O_NONBLOCK after all: read() would not wait, so poll() must.
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        notes.pace = Pace::alwaysCount;
        return 0;
    }
    if (got == 0) {
        const short events = eventsNow(fd);
        if (events == 0) {
            // VTIME passed without a byte: the reply has paused or ended.
            notes.pace = Pace::countFirst;
            return 1;
        }
        if ((events & (POLLHUP | POLLERR | POLLNVAL)) == 0) {
            // A byte came just after VTIME. The counted path reads it, and
            // tells an end of file apart should one follow.
            notes.pace = Pace::alwaysCount;
            return 1;
        }
    }
    // Hung up, or an error such as EIO or EBADF.
    return failAfterSleepingUntil(deadlineNs);
}

// Any port: a read is made only once a byte is counted as waiting or has
// woken a wait.
int readCounted(int fd, unsigned char* destination, int count, int* delivered, std::uint32_t waitMs, Notes& notes)
{
    // The clock is read only once the read has to wait or sleep: what came
    // before is a system call or two, and a byte already waiting needs no
    // deadline at all.
    const Count waiting = bytesWaiting(fd);
    if (waiting == Count::gone) {
        return failAfterSleepingUntil(deadlineAfter(waitMs));
    }
    std::int64_t deadlineNs = 0;
    if (waiting == Count::none) {
        deadlineNs = deadlineAfter(waitMs);
        if (notes.kind.terminal == Terminal::unknown) {
            notes.kind = classify(fd);
        }
        Wait w = look(fd, waitMs < firstLookMs ? static_cast<int>(waitMs) : firstLookMs);
        if (w == Wait::timedOut || w == Wait::interrupted) {
            w = waitUntil(fd, deadlineNs, notes.kind.terminal == Terminal::wakesOnlyAtVmin);
        }
        if (w == Wait::timedOut) {
            return 1;
        }
        if (w == Wait::gone) {
            return failAfterSleepingUntil(deadlineNs);
        }
    }

    const ssize_t got = ::read(fd, destination, static_cast<size_t>(count));
    if (got > 0) {
        *delivered = static_cast<int>(got);
        if (notes.pace == Pace::countFirst && notes.kind.terminal == Terminal::calm) {
            notes.pace = Pace::direct;
        }
        return 1;
    }
    // Another reader may have taken the byte, or a signal cut the read short:
    // a failed read that found nothing, and the caller reads again with what
    // is left of its wait.
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        return 0;
    }
    // A terminal in canonical mode answers its end-of-file character (often
    // ^D) with an empty read, and is still there. A read that waited knows
    // the settings; one that did not reads them now (a terminal that hung up
    // refuses them). One that hangs up later fails the next read's count.
    if (got == 0) {
        if (notes.kind.terminal == Terminal::unknown) {
            notes.kind = classify(fd);
        }
        if (notes.kind.terminal == Terminal::canonical) {
            return 1;
        }
    }
    // End of file right after "readable" (a hung-up terminal, a closed pipe
    // or socket), or an error such as EIO or EBADF.
    return failAfterSleepingUntil(waiting == Count::none ? deadlineNs : deadlineAfter(waitMs));
}

} // namespace

int readPort(void* port, unsigned char* destination, int count, int* delivered, std::uint32_t waitMs,
             PortNotes* box)
{
    *delivered = 0;
    // The handle carries a file descriptor. A value that is no descriptor at
    // all must fail like a closed one rather than be truncated into some
    // other, possibly open, descriptor.
    const auto value = reinterpret_cast<std::intptr_t>(port);
    if (value < 0 || value > INT_MAX || count <= 0) {
        return failAfterSleepingUntil(deadlineAfter(waitMs));
    }
    const int fd = static_cast<int>(value);
    Notes notes;
    std::memcpy(&notes, box->room, sizeof notes);
    // Only while VTIME ends the read before the caller's wait does, so that
    // the idle limit still ends an attempt on time.
    const int worked = notes.pace == Pace::direct && waitMs >= notes.kind.vtimeMs
                           ? readDirect(fd, destination, count, delivered, waitMs, notes)
                           : readCounted(fd, destination, count, delivered, waitMs, notes);
    std::memcpy(box->room, &notes, sizeof notes);
    return worked;
}

std::uint32_t tickCount()
{
    // Monotonic, so that setting the wall clock cannot end a poll early or
    // stretch it; truncated to wrap the same way GetTickCount does.
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const auto ms = static_cast<std::uint64_t>(now.tv_sec) * 1000u + static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<std::uint32_t>(ms);
}
