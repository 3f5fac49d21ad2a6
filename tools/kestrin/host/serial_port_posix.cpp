// Linux serial ports through termios2, which takes any baud rate (BOTHER)
// where the older termios interface knows only a fixed list. Everything goes
// through ioctl, but for libc's classic calls where termios2 is refused
// (serial_port_posix_libc.cpp): <termios.h> and the kernel's termios2 cannot
// share a file.
#include "host/serial_port.h"
#include "host/serial_port_posix.h"
#include "host/serial_port_posix_libc.h"

#include "base/error.h"

#include <fmt/format.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace kestrin {

struct SavedSettings {
    termios2 settings{};
    // The modem lines (TIOCM_DTR, TIOCM_RTS): their levels at open, known
    // when the port answered TIOCMGET (else why not, an errno); those the
    // tool changed since, by --dtr, --rts or driveLines; their levels now.
    // Atomic where restoreSettings, on an interrupt's thread, reads what
    // driveLines writes.
    bool linesKnown = false;
    int linesErrno = 0;
    int foundLines = 0;
    // RTS/CTS flow control drives RTS.
    bool rtsByFlow = false;
    mutable std::atomic<int> changedLines{0};
    mutable std::atomic<int> presentLines{0};
};

namespace {

// A write that makes no progress for this long is given up.
const int writeStallMs = 5000;

const char goneText[] = "the device went away (the port hung up or failed)";

Error systemError(const char* what)
{
    return Error(fmt::format("{}: {}", what, std::strerror(errno)));
}

Error goneError()
{
    return Error(goneText, Status::deviceGone);
}

// EIO is what a hung-up or removed port answers.
Error portError(const char* what)
{
    return errno == EIO ? goneError() : systemError(what);
}

tcflag_t sizeFlag(int dataBits)
{
    switch (dataBits) {
    case 5: return CS5;
    case 6: return CS6;
    case 7: return CS7;
    default: return CS8;
    }
}

const char* bitName(int bit)
{
    return bit == TIOCM_RTS ? "RTS" : "DTR";
}

int bitOf(ModemLine line)
{
    return line == ModemLine::rts ? TIOCM_RTS : TIOCM_DTR;
}

// Why a modem line could not be set, from `code` (an errno). A pseudo-
// terminal answers ENOTTY, as some adapters' drivers do EINVAL.
Error lineError(int bit, int code)
{
    if (code == EIO) {
        return goneError();
    }
    if (code == ENOTTY || code == EINVAL) {
        return Error(fmt::format("cannot set {}: the port has no modem lines ({})", bitName(bit), std::strerror(code)));
    }
    return Error(fmt::format("cannot set {}: {}", bitName(bit), std::strerror(code)));
}

void noteLevel(const SavedSettings& saved, int bit, bool on)
{
    if (on) {
        saved.presentLines.fetch_or(bit);
    } else {
        saved.presentLines.fetch_and(~bit);
    }
}

// Sets one line and notes it. Noted as changed before the change, so that
// a restore on another thread cannot miss it.
void setLevel(int fd, const SavedSettings& saved, int bit, bool on)
{
    if (!saved.linesKnown) {
        throw lineError(bit, saved.linesErrno);
    }
    if (bit == TIOCM_RTS && saved.rtsByFlow) {
        throw usageError("cannot set RTS: RTS/CTS flow control drives it");
    }
    saved.changedLines.fetch_or(bit);
    if (ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bit) != 0) {
        throw lineError(bit, errno);
    }
    noteLevel(saved, bit, on);
}

// The levels of the modem lines as open() finds them, which the settings
// put back. Only a port that --dtr or --rts asks to change must have them.
void readLines(int fd, const PortSettings& settings, SavedSettings& saved)
{
    int lines = 0;
    saved.linesKnown = ioctl(fd, TIOCMGET, &lines) == 0;
    saved.linesErrno = saved.linesKnown ? 0 : errno;
    saved.foundLines = lines & (TIOCM_DTR | TIOCM_RTS);
    saved.presentLines = saved.foundLines;
    saved.rtsByFlow = settings.flow == Flow::rtsCts;
    if (!saved.linesKnown && (settings.dtr != Line::keep || settings.rts != Line::keep)) {
        throw lineError(settings.dtr != Line::keep ? TIOCM_DTR : TIOCM_RTS, saved.linesErrno);
    }
}

void applyLine(int fd, const SavedSettings& saved, int bit, Line line)
{
    if (line != Line::keep) {
        setLevel(fd, saved, bit, line == Line::on);
    }
}

// Claims the port for this process. As root TIOCEXCL does not keep others
// out, so a port another program holds exclusively is refused here too.
void claim(int fd)
{
    int exclusive = 0;
    if (ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0) {
        throw Error("busy: another program has the port to itself", Status::busy);
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) {
            throw Error("busy: another program holds a lock on the port", Status::busy);
        }
        throw systemError("cannot lock the port");
    }
}

// Off with `nonBlocking`, as the port is left for the library's reads.
void setNonBlocking(int fd, bool nonBlocking)
{
    const int flags = fcntl(fd, F_GETFL);
    const int wanted = nonBlocking ? flags | O_NONBLOCK : flags & ~O_NONBLOCK;
    if (flags < 0 || (wanted != flags && fcntl(fd, F_SETFL, wanted) != 0)) {
        throw systemError("cannot set the port's blocking mode");
    }
}

// The standard rates and their codes, for the classic termios calls.
struct StandardRate {
    speed_t code;
    std::uint32_t baud;
};

const StandardRate standardRates[] = {
    {B50, 50}, {B75, 75}, {B110, 110}, {B134, 134}, {B150, 150}, {B200, 200}, {B300, 300}, {B600, 600},
    {B1200, 1200}, {B1800, 1800}, {B2400, 2400}, {B4800, 4800}, {B9600, 9600}, {B19200, 19200},
    {B38400, 38400}, {B57600, 57600}, {B115200, 115200}, {B230400, 230400}, {B460800, 460800},
    {B500000, 500000}, {B576000, 576000}, {B921600, 921600}, {B1000000, 1000000}, {B1152000, 1152000},
    {B1500000, 1500000}, {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000},
    {B3500000, 3500000}, {B4000000, 4000000},
};

std::uint32_t rateOf(speed_t code)
{
    for (const StandardRate& rate : standardRates) {
        if (rate.code == code) {
            return rate.baud;
        }
    }
    return 0;
}

bool codeOf(std::uint32_t baud, speed_t& code)
{
    for (const StandardRate& rate : standardRates) {
        if (rate.baud == baud) {
            code = rate.code;
            return true;
        }
    }
    return false;
}

static_assert(sizeof(termios2{}.c_cc) == sizeof(ClassicTermios{}.cc), "the kernel's control characters");

// Whether a failed termios2 request leaves libc's classic calls to try:
// qemu-user does not know it (ENOSYS), and an emulated node refuses an
// ioctl() it intercepts (ENOTTY) where libc's own calls get through. On a
// descriptor that is no terminal they fail the same way.
bool classicMayDo(int failure)
{
    return failure == ENOSYS || failure == ENOTTY;
}

// Both return the failure's errno, or 0.
int getTermios(int fd, termios2& tio)
{
    if (ioctl(fd, TCGETS2, &tio) == 0) {
        return 0;
    }
    ClassicTermios classic;
    if (!classicMayDo(errno)) {
        return errno;
    }
    if (const int failure = libcGetTermios(fd, classic)) {
        return failure;
    }
    tio.c_iflag = classic.iflag;
    tio.c_oflag = classic.oflag;
    tio.c_cflag = classic.cflag;
    tio.c_lflag = classic.lflag;
    tio.c_line = classic.line;
    std::copy_n(classic.cc, sizeof classic.cc, tio.c_cc);
    tio.c_ospeed = rateOf(tio.c_cflag & CBAUD);
    const speed_t input = (tio.c_cflag >> IBSHIFT) & CBAUD;
    tio.c_ispeed = input == B0 ? tio.c_ospeed : rateOf(input);
    return 0;
}

int setTermios(int fd, const termios2& tio)
{
    if (ioctl(fd, TCSETS2, &tio) == 0) {
        return 0;
    }
    if (!classicMayDo(errno)) {
        return errno;
    }
    // Only a rate given as BOTHER needs a code; others carry theirs.
    speed_t output = tio.c_cflag & CBAUD;
    speed_t input = (tio.c_cflag >> IBSHIFT) & CBAUD;
    if ((output == BOTHER && !codeOf(tio.c_ospeed, output)) || (input == BOTHER && !codeOf(tio.c_ispeed, input))) {
        return EINVAL;
    }
    ClassicTermios classic;
    classic.iflag = tio.c_iflag;
    classic.oflag = tio.c_oflag;
    classic.cflag = (tio.c_cflag & ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT))) | output | (input << IBSHIFT);
    classic.lflag = tio.c_lflag;
    classic.line = tio.c_line;
    std::copy_n(tio.c_cc, sizeof classic.cc, classic.cc);
    return libcSetTermios(fd, classic);
}

} // namespace

termios2 readTermios(int fd)
{
    termios2 tio{};
    const int failure = getTermios(fd, tio);
    if (failure == ENOTTY || failure == EINVAL) {
        throw Error("not a serial port");
    }
    if (failure != 0) {
        errno = failure;
        throw portError("cannot read its settings");
    }
    return tio;
}

void writeTermios(int fd, const termios2& tio)
{
    const int failure = setTermios(fd, tio);
    if (failure == EINVAL) {
        throw Error(fmt::format("the port cannot run at {} baud", tio.c_ospeed));
    }
    if (failure != 0) {
        errno = failure;
        throw portError("cannot apply the port settings");
    }
}

// Raw bytes, the line settings, and VMIN 0 with VTIME t: a read returns a
// waiting byte at once, the first byte to arrive within t tenths of a
// second, or nothing after them.
termios2 configuredTermios(termios2 tio, const PortSettings& settings)
{
    tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF
                                          | IXANY | INPCK);
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS | CBAUD | (CBAUD << IBSHIFT));
    tio.c_cflag |= sizeFlag(settings.dataBits) | CLOCAL | CREAD | BOTHER | (BOTHER << IBSHIFT);
    switch (settings.parity) {
    case Parity::none: break;
    case Parity::even: tio.c_cflag |= PARENB; break;
    case Parity::odd: tio.c_cflag |= PARENB | PARODD; break;
    // Stick parity: the bit is always 1 (mark) or 0 (space).
    case Parity::mark: tio.c_cflag |= PARENB | CMSPAR | PARODD; break;
    case Parity::space: tio.c_cflag |= PARENB | CMSPAR; break;
    }
    if (settings.stopBits == 2) {
        tio.c_cflag |= CSTOPB;
    }
    if (settings.flow == Flow::rtsCts) {
        tio.c_cflag |= CRTSCTS;
    } else if (settings.flow == Flow::xonXoff) {
        tio.c_iflag |= IXON | IXOFF;
        tio.c_cc[VSTART] = 0x11;
        tio.c_cc[VSTOP] = 0x13;
    }
    tio.c_ispeed = settings.baud;
    tio.c_ospeed = settings.baud;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = static_cast<cc_t>(std::min(255, (settings.readWaitMs + 99) / 100));
    return tio;
}

SerialPort SerialPort::open(const std::string& name, const PortSettings& settings)
{
    // Non-blocking only while opening, so that a modem line without carrier
    // cannot hang the open; reads then follow VMIN/VTIME.
    const int fd = ::open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == EACCES) {
            // The usual cause on a fresh machine, and a fix people look up.
            throw Error(fmt::format("cannot open: {} (serial ports belong to the dialout group: "
                                    "sudo usermod -aG dialout $USER, then log in again)",
                                    std::strerror(errno)));
        }
        if (errno == EBUSY) {
            // Another program set TIOCEXCL.
            throw Error("busy: another program has the port to itself", Status::busy);
        }
        throw systemError("cannot open");
    }
    // Owned from here, so that any failure below closes it.
    SerialPort port(name, UniqueFd(fd));
    auto saved = std::make_shared<SavedSettings>();
    saved->settings = readTermios(fd);
    claim(fd);
    readLines(fd, settings, *saved);
    // From here closing puts everything back, whatever fails below.
    port.saved_ = saved;
    // A node that refuses the request outright (an emulated adapter answers
    // ENOTTY to every ioctl() it does not know) is held by the flock claim
    // alone: another kestrin is still kept off, other programs are not.
    if (ioctl(fd, TIOCEXCL) != 0 && errno != ENOTTY) {
        throw systemError("cannot take the port for this program alone");
    }
    writeTermios(fd, configuredTermios(saved->settings, settings));
    const termios2 applied = readTermios(fd);
    // A driver that cannot make the rate falls back to another; within 2%
    // the line still works, as UART clocks rarely divide exactly.
    const auto drift = std::llabs(static_cast<long long>(applied.c_ospeed) - static_cast<long long>(settings.baud));
    if (drift * 50 > static_cast<long long>(settings.baud)) {
        throw Error(fmt::format("the port cannot run at {} baud (its driver set {})", settings.baud,
                                applied.c_ospeed));
    }
    applyLine(fd, *saved, TIOCM_DTR, settings.dtr);
    applyLine(fd, *saved, TIOCM_RTS, settings.rts);
    setNonBlocking(fd, false);
    return port;
}

void SerialPort::discardInput()
{
    const int fd = handle_.get();
    if (ioctl(fd, TCFLSH, TCIFLUSH) == 0) {
        return;
    }
    if (errno == ENOTTY) {
        // As for the settings: libc's own call gets through.
        errno = libcDiscardInput(fd);
    }
    if (errno != 0) {
        throw portError("cannot discard stale input");
    }
}

void SerialPort::write(const Bytes& bytes)
{
    const int fd = handle_.get();
    // Non-blocking while writing, so that flow control holding the line
    // back cannot hang the tool.
    setNonBlocking(fd, true);
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno != EAGAIN) {
            const Error error = portError("cannot send");
            setNonBlocking(fd, false);
            throw error;
        }
        pollfd ready{fd, POLLOUT, 0};
        const int r = ::poll(&ready, 1, writeStallMs);
        if (r == 0) {
            setNonBlocking(fd, false);
            throw Error(fmt::format("cannot send: nothing could be written for {} s (is flow control holding "
                                    "the line?)",
                                    writeStallMs / 1000));
        }
        if (r > 0 && (ready.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            setNonBlocking(fd, false);
            throw goneError();
        }
    }
    setNonBlocking(fd, false);
}

std::size_t SerialPort::read(unsigned char* into, std::size_t most, int waitMs)
{
    const int fd = handle_.get();
    pollfd ready{fd, POLLIN, 0};
    const int r = ::poll(&ready, 1, std::max(0, waitMs));
    if (r < 0) {
        if (errno == EINTR) {
            return 0;
        }
        throw systemError("cannot wait for the port");
    }
    if (r == 0) {
        return 0;
    }
    if ((ready.revents & POLLIN) == 0) {
        throw goneError();
    }
    const ssize_t n = ::read(fd, into, most);
    if (n > 0) {
        return static_cast<std::size_t>(n);
    }
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
        return 0;
    }
    // Readable but end of file, or EIO: the port hung up.
    if (n == 0 || errno == EIO) {
        throw goneError();
    }
    throw systemError("cannot read");
}

void SerialPort::driveLines(const std::vector<LineStep>& steps)
{
    if (!saved_) {
        throw Error("cannot set the modem lines: the port is not open");
    }
    const int fd = handle_.get();
    for (const LineStep& step : steps) {
        const int bit = bitOf(step.line);
        switch (step.kind) {
        case LineStep::Kind::set: setLevel(fd, *saved_, bit, step.on); break;
        case LineStep::Kind::pulse: {
            const bool was = (saved_->presentLines.load() & bit) != 0;
            setLevel(fd, *saved_, bit, !was);
            std::this_thread::sleep_for(std::chrono::milliseconds(step.ms));
            setLevel(fd, *saved_, bit, was);
            break;
        }
        case LineStep::Kind::wait: std::this_thread::sleep_for(std::chrono::milliseconds(step.ms)); break;
        }
    }
}

bool SerialPort::deviceGone() const
{
    const int fd = handle_.get();
    pollfd state{fd, POLLIN, 0};
    if (::poll(&state, 1, 0) > 0 && (state.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
        return true;
    }
    // A terminal that hung up answers EIO to every request.
    termios2 tio{};
    return getTermios(fd, tio) == EIO;
}

void SerialPort::restoreSettings() const noexcept
{
    if (!handle_ || !saved_) {
        return;
    }
    const int fd = handle_.get();
    const int saved = errno;
    // Best effort: a port that has gone takes nothing back.
    setTermios(fd, saved_->settings);
    const int changed = saved_->linesKnown ? saved_->changedLines.load() : 0;
    for (int bit : {TIOCM_DTR, TIOCM_RTS}) {
        if ((changed & bit) != 0) {
            const bool on = (saved_->foundLines & bit) != 0;
            ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bit);
            noteLevel(*saved_, bit, on);
        }
    }
    // A pseudo-terminal keeps the flag after its last close while its
    // other side lives; left set, it would turn the next program away.
    ioctl(fd, TIOCNXCL);
    errno = saved;
}

} // namespace kestrin
