"""Serial ports for device tests, simulated or on a bench.

A port is opened for this process alone and set up the way the ``kestrin``
tool sets up the ports it polls (raw, the line settings given, reads that
wait up to the read wait for a byte), and put back as it was when closed::

    from kestrin.bench import BenchPort, LineSettings, resolve_port

    choice = resolve_port("usb:0403:6001:A50285BI")      # or "/dev/ttyUSB0", "COM3"
    with BenchPort(choice.port, LineSettings(baud=115200)) as port:
        port.expect(b"OK\\r\\n", send=b"AT\\r", timeout_ms=2000)

``expect`` sends, then polls through the library like any other poll; when
the reply does not come, its AssertionError shows what the library read (as
hex and text, with times) and the budget. What the library read is seen
through the read tap (see :mod:`kestrin._tap`).

The pytest plugin :mod:`kestrin.testing` hands tests such ports.
"""

from __future__ import annotations

import json
import os
import re
import select
import shutil
import struct
import subprocess
import sys
import time
import types
from typing import Any, Callable, Dict, List, NamedTuple, Optional, Tuple, Type, Union

import kestrin

from . import _win32

__all__ = [
    "BenchPort",
    "DeviceError",
    "LineSettings",
    "Match",
    "PortChoice",
    "Traffic",
    "find_tool",
    "format_bytes",
    "parse_duration_ms",
    "parse_flow",
    "parse_parity",
    "resolve_port",
    "selector_test",
]

TOOL_ENV = "KESTRIN_TOOL"
_HERE = os.path.dirname(os.path.abspath(__file__))
_WINDOWS = sys.platform == "win32"


class DeviceError(RuntimeError):
    """A device or its port could not be had: no tool, a bad script, a port
    that is not there, busy or refused, or a selector that names none."""


def find_tool() -> str:
    """The kestrin program: KESTRIN_TOOL, else the copy a Linux wheel carries
    beside this module, else ``kestrin`` on PATH."""
    configured = os.environ.get(TOOL_ENV)
    if configured:
        if not (os.path.isfile(configured) and os.access(configured, os.X_OK)):
            raise DeviceError(f"{TOOL_ENV} names {configured!r}, which is not an executable file")
        return configured
    bundled = os.path.join(_HERE, "kestrin.exe" if _WINDOWS else "kestrin")
    if os.path.isfile(bundled) and os.access(bundled, os.X_OK):
        return bundled
    found = shutil.which("kestrin")
    if found:
        return found
    raise DeviceError(
        f"the kestrin program was not found: install the Debian package kestrin, or set {TOOL_ENV} to its path"
    )


# ---- Line settings -----------------------------------------------------------------------

PARITIES = ("none", "even", "odd", "mark", "space")
FLOWS = ("none", "rtscts", "xonxoff")
# Linux counts a read's wait in tenths of a second, 255 at most.
MIN_READ_WAIT_MS, MAX_READ_WAIT_MS = 1, 25500


def parse_parity(text: str) -> str:
    """none, even, odd, mark, space, or their first letters, in any case."""
    word = text.strip().lower()
    for parity in PARITIES:
        if word in (parity, parity[0]):
            return parity
    raise ValueError(f"parity must be none, even, odd, mark or space (or N, E, O, M, S), not {text!r}")


def parse_flow(text: str) -> str:
    word = text.strip().lower()
    if word in FLOWS:
        return word
    raise ValueError(f"flow must be none, rtscts or xonxoff, not {text!r}")


_UNITS_MS = {"": 1.0, "ms": 1.0, "s": 1000.0, "m": 60000.0, "min": 60000.0, "h": 3600000.0}


def parse_duration_ms(text: str) -> int:
    """A time as the tool takes it: 500ms, 2s, 1.5s, 10m (10min), 1h, or a
    plain number of milliseconds."""
    match = re.fullmatch(r"\s*(\d+(?:\.\d+)?)\s*([a-z]*)\s*", text.lower())
    if not match or match.group(2) not in _UNITS_MS:
        raise ValueError(f"a time is a number with ms, s, m, min or h (500ms, 2s), not {text!r}")
    value = float(match.group(1)) * _UNITS_MS[match.group(2)]
    if value != int(value):
        raise ValueError(f"{text!r} is not a whole number of milliseconds")
    return int(value)


class LineSettings(NamedTuple):
    """How a port is set up; the defaults are the kestrin tool's."""

    baud: int = 9600
    data_bits: int = 8
    parity: str = "none"
    stop_bits: int = 1
    flow: str = "none"
    read_wait_ms: int = 100

    def checked(self) -> "LineSettings":
        """These settings, or ValueError saying which is not usable."""
        if isinstance(self.baud, bool) or not isinstance(self.baud, int) or not 0 < self.baud < 2**32:
            raise ValueError(f"baud must be a positive whole number, not {self.baud!r}")
        if self.data_bits not in (5, 6, 7, 8):
            raise ValueError(f"data bits must be 5 to 8, not {self.data_bits!r}")
        if self.parity not in PARITIES:
            raise ValueError(f"parity must be one of {', '.join(PARITIES)}, not {self.parity!r}")
        if self.stop_bits not in (1, 2):
            raise ValueError(f"stop bits must be 1 or 2, not {self.stop_bits!r}")
        if self.flow not in FLOWS:
            raise ValueError(f"flow must be one of {', '.join(FLOWS)}, not {self.flow!r}")
        if not MIN_READ_WAIT_MS <= self.read_wait_ms <= MAX_READ_WAIT_MS:
            raise ValueError(f"the read wait must be {MIN_READ_WAIT_MS} ms to {MAX_READ_WAIT_MS} ms, "
                             f"not {self.read_wait_ms!r} ms")
        return self

    def describe(self) -> str:
        """9600 baud 8N1, flow none, read wait 100 ms."""
        return (f"{self.baud} baud {self.data_bits}{self.parity[0].upper()}{self.stop_bits}, flow {self.flow}, "
                f"read wait {self.read_wait_ms} ms")


# ---- Naming a port ------------------------------------------------------------------------


class PortChoice(NamedTuple):
    """The port a selector names."""

    port: str  # what is opened: /dev/ttyUSB0, COM3
    selector: str  # as given
    listing: Optional[Dict[str, Any]]  # what `kestrin ports --json` says of it; None for a plain name


def _listing_text(listing: Dict[str, Any]) -> str:
    """/dev/ttyUSB0 (usb 0403:6001, serial A50285BI, location 1-1.4:1.0)."""
    facts = []
    if listing.get("usb_vendor_id") and listing.get("usb_product_id"):
        facts.append(f"usb {listing['usb_vendor_id']}:{listing['usb_product_id']}")
    for key, name in (("serial_number", "serial"), ("location", "location")):
        if listing.get(key):
            facts.append(f"{name} {listing[key]}")
    if listing.get("description"):
        facts.append(str(listing["description"]))
    return f"{listing.get('port')}" + (f" ({', '.join(facts)})" if facts else "")


def _hex_id(text: str, what: str, selector: str) -> int:
    if not re.fullmatch(r"[0-9A-Fa-f]{1,4}", text):
        raise ValueError(f"{selector!r}: the {what} is 1 to 4 hex digits (usb:VID:PID or usb:VID:PID:SERIAL)")
    return int(text, 16)


def _listed_id(value: Any) -> Optional[int]:
    try:
        return int(str(value), 16) if value else None
    except ValueError:
        return None


def selector_test(selector: str) -> Optional[Callable[[Dict[str, Any]], bool]]:
    """Whether a listed port is one `selector` names; None for a plain name.
    ValueError for a malformed selector."""
    if selector.startswith("usb:"):
        parts = selector[4:].split(":", 2)
        if len(parts) < 2 or (len(parts) == 3 and not parts[2]):
            raise ValueError(f"{selector!r}: a USB selector is usb:VID:PID or usb:VID:PID:SERIAL")
        vendor, product = _hex_id(parts[0], "vendor id", selector), _hex_id(parts[1], "product id", selector)
        serial = parts[2].casefold() if len(parts) == 3 else None

        def usb(listing: Dict[str, Any]) -> bool:
            return (_listed_id(listing.get("usb_vendor_id")) == vendor
                    and _listed_id(listing.get("usb_product_id")) == product
                    and (serial is None or str(listing.get("serial_number") or "").casefold() == serial))

        return usb
    if selector.startswith("location:"):
        location = selector[len("location:"):]
        if not location:
            raise ValueError(f"{selector!r}: a location selector is location:LOC, as `kestrin ports` shows it")

        def placed(listing: Dict[str, Any]) -> bool:
            return listing.get("location") == location

        return placed
    if not selector:
        raise ValueError("the port is empty: give a path, a name (COM3), usb:VID:PID[:SERIAL] or location:LOC")
    return None


def resolve_port(selector: str, tool: Optional[str] = None) -> PortChoice:
    """The port `selector` names, by the rules the kestrin tool applies.

    A path or name (/dev/ttyUSB0, COM3, a simulator's link) is used as given.
    ``usb:VID:PID``, ``usb:VID:PID:SERIAL`` and ``location:LOC`` are looked up
    in what ``kestrin ports --json`` lists: ids and serial numbers compared
    without regard to case, the location as listed. Raises ValueError for a
    malformed selector and DeviceError when it names no port present (listing
    those present) or several (naming each).

    One function on purpose: once the tool opens selectors itself, this is
    the one place to hand them to it.
    """
    selects = selector_test(selector)
    if selects is None:
        return PortChoice(selector, selector, None)
    command = [tool or find_tool(), "ports", "--json"]
    try:
        run = subprocess.run(command, capture_output=True, text=True, timeout=30)
        listed = json.loads(run.stdout) if run.returncode == 0 else None
    except (OSError, subprocess.TimeoutExpired, ValueError) as error:
        raise DeviceError(f"{selector}: cannot list the ports ({' '.join(command)}): {error}") from None
    if not isinstance(listed, list):
        raise DeviceError(f"{selector}: cannot list the ports ({' '.join(command)}): "
                          f"{run.stderr.strip() or 'no list printed'}")
    chosen = [listing for listing in listed if isinstance(listing, dict) and selects(listing)]
    if len(chosen) == 1:
        return PortChoice(str(chosen[0]["port"]), selector, chosen[0])
    if not chosen:
        present = "; ".join(_listing_text(listing) for listing in listed if isinstance(listing, dict))
        raise DeviceError(f"{selector} names no port present; "
                          + (f"the ports: {present}" if present else "no port is present"))
    raise DeviceError(f"{selector} names {len(chosen)} ports, not one: "
                      + "; ".join(_listing_text(listing) for listing in chosen)
                      + " (add the serial number, or name the port by location:)")


# ---- Bytes as people read them -------------------------------------------------------------------


def _escaped(data: bytes) -> str:
    """Text with \\r \\n \\t \\\\ and \\xHH, as the tool shows bytes."""
    out = []
    for byte in data:
        char = chr(byte)
        if char in "\r\n\t\\":
            out.append({"\r": "\\r", "\n": "\\n", "\t": "\\t", "\\": "\\\\"}[char])
        elif 0x20 <= byte < 0x7F:
            out.append(char)
        else:
            out.append(f"\\x{byte:02x}")
    return "".join(out)


def format_bytes(data: bytes) -> str:
    """'"OK\\r\\n" (4f 4b 0d 0a)': as text and as hex."""
    return f'"{_escaped(data)}" ({data.hex(" ")})'


# Reads this close together are shown on one line, at most this many bytes each.
_GROUP_GAP_MS = 5.0
_GROUP_MOST = 16


def _grouped(reads: List[Tuple[float, bytes]]) -> List[Tuple[float, bytes]]:
    groups: List[Tuple[float, bytearray]] = []
    last = None
    for at, data in reads:
        for byte in data:
            if groups and last is not None and at - last <= _GROUP_GAP_MS and len(groups[-1][1]) < _GROUP_MOST:
                groups[-1][1].append(byte)
            else:
                groups.append((at, bytearray([byte])))
            last = at
    return [(at, bytes(data)) for at, data in groups]


def _reads_text(result: kestrin.TracedPoll) -> str:
    if result.reads is None:
        return f"what the library read is not known: {result.unknown}"
    if not result.delivered:
        return "the library read nothing"
    kept = sum(len(read.data) for read in result.reads)
    lines = [f"the library read {result.delivered} byte{'' if result.delivered == 1 else 's'}"
             + (f" (the first {kept} shown)" if kept < result.delivered else "") + ":"]
    for at, data in _grouped([(read.at_ms, read.data) for read in result.reads]):
        lines.append(f"  {at:10.3f} ms  {data.hex(' ')}  \"{_escaped(data)}\"")
    return "\n".join(lines)


# ---- The port ------------------------------------------------------------------------------------


class Match(NamedTuple):
    """An expected reply that came."""

    expected: bytes
    # The time to match: how long the library's poll took, as the tool measures it.
    elapsed_ms: float
    budget_ms: int
    # Matched in an attempt that began within the budget but ended after it.
    late: bool


class Traffic(NamedTuple):
    """Bytes that went over the port: sent ("tx") or received ("rx")."""

    at_s: float  # since the port was opened
    direction: str
    data: bytes
    note: str  # who read them: "library" (a poll) or "read" (BenchPort.read)


if sys.platform != "win32":
    import fcntl
    import platform
    import termios

    # The kernel's termios2 (asm-generic: x86, ARM), which carries any rate.
    _TERMIOS2 = struct.Struct("=4IB19s2I")
    _TCGETS2, _TCSETS2 = 0x802C542A, 0x402C542B
    _BOTHER, _CBAUD, _IBSHIFT = 0o010000, 0o010017, 16
    _CMSPAR = 0o10000000000
    _TERMIOS2_MACHINES = ("x86_64", "i386", "i686", "aarch64", "armv7l", "armv8l", "armv6l")

    def _standard_rate(baud: int) -> Optional[int]:
        code = getattr(termios, f"B{baud}", None)
        return code if isinstance(code, int) else None

    def _configured(saved: List[Any], settings: LineSettings) -> List[Any]:
        """Raw bytes, the line settings, VMIN 0 and VTIME from the read wait:
        a read returns a waiting byte at once, the first byte within the
        wait, or nothing after it (the tool's settings)."""
        iflag, oflag, cflag, lflag, ispeed, ospeed, cc = saved
        iflag &= ~(termios.IGNBRK | termios.BRKINT | termios.PARMRK | termios.ISTRIP | termios.INLCR
                   | termios.IGNCR | termios.ICRNL | termios.IXON | termios.IXOFF | termios.IXANY | termios.INPCK)
        oflag &= ~termios.OPOST
        lflag &= ~(termios.ECHO | termios.ECHONL | termios.ICANON | termios.ISIG | termios.IEXTEN)
        cflag &= ~(termios.CSIZE | termios.PARENB | termios.PARODD | _CMSPAR | termios.CSTOPB | termios.CRTSCTS)
        cflag |= {5: termios.CS5, 6: termios.CS6, 7: termios.CS7, 8: termios.CS8}[settings.data_bits]
        cflag |= termios.CLOCAL | termios.CREAD
        cflag |= {"none": 0, "even": termios.PARENB, "odd": termios.PARENB | termios.PARODD,
                  "mark": termios.PARENB | _CMSPAR | termios.PARODD, "space": termios.PARENB | _CMSPAR}[settings.parity]
        if settings.stop_bits == 2:
            cflag |= termios.CSTOPB
        cc = list(cc)
        if settings.flow == "rtscts":
            cflag |= termios.CRTSCTS
        elif settings.flow == "xonxoff":
            iflag |= termios.IXON | termios.IXOFF
            cc[termios.VSTART] = b"\x11"
            cc[termios.VSTOP] = b"\x13"
        cc[termios.VMIN] = 0
        cc[termios.VTIME] = min(255, (settings.read_wait_ms + 99) // 100)
        # A rate outside the list is set through termios2 afterwards.
        code = _standard_rate(settings.baud) or termios.B38400
        return [iflag, oflag, cflag, lflag, code, code, cc]

    def _set_any_rate(fd: int, baud: int) -> int:
        """Sets a rate the classic calls cannot name (BOTHER); returns the rate the driver set."""
        if platform.machine() not in _TERMIOS2_MACHINES:
            raise DeviceError(f"{baud} baud is not a standard rate, and this machine's termios2 is not known")
        buffer = bytearray(_TERMIOS2.size)
        fcntl.ioctl(fd, _TCGETS2, buffer)
        iflag, oflag, cflag, lflag, line, cc, _, _ = _TERMIOS2.unpack(buffer)
        cflag &= ~(_CBAUD | (_CBAUD << _IBSHIFT))
        cflag |= _BOTHER | (_BOTHER << _IBSHIFT)
        fcntl.ioctl(fd, _TCSETS2, _TERMIOS2.pack(iflag, oflag, cflag, lflag, line, cc, baud, baud))
        fcntl.ioctl(fd, _TCGETS2, buffer)
        applied: int = _TERMIOS2.unpack(buffer)[7]
        return applied

    class _PosixLine:
        """A terminal opened and claimed as the tool does: flock and TIOCEXCL,
        the settings applied, stale input discarded; close() puts the
        settings back."""

        def __init__(self, name: str, settings: LineSettings) -> None:
            try:
                # Non-blocking only while opening, so that a modem line without carrier cannot hang it.
                self.fd = os.open(name, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK | os.O_CLOEXEC)
            except OSError as error:
                raise DeviceError(f"{name}: {_open_failure(error)}") from None
            self._saved: Optional[List[Any]] = None
            try:
                try:
                    saved = termios.tcgetattr(self.fd)
                except termios.error:
                    raise DeviceError(f"{name}: not a serial port (not a terminal)") from None
                try:
                    fcntl.flock(self.fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                except BlockingIOError:
                    raise DeviceError(f"{name}: busy: another program holds a lock on the port") from None
                self._saved = saved
                fcntl.ioctl(self.fd, termios.TIOCEXCL)
                termios.tcsetattr(self.fd, termios.TCSANOW, _configured(saved, settings))
                if _standard_rate(settings.baud) is None:
                    applied = _set_any_rate(self.fd, settings.baud)
                    # UART clocks rarely divide exactly: within 2% the line still works.
                    if abs(applied - settings.baud) * 50 > settings.baud:
                        raise DeviceError(f"{name}: the port cannot run at {settings.baud} baud "
                                          f"(its driver set {applied})")
                os.set_blocking(self.fd, True)
                termios.tcflush(self.fd, termios.TCIFLUSH)
            except DeviceError:
                self.close()
                raise
            except (OSError, termios.error) as error:
                self.close()
                raise DeviceError(f"{name}: cannot set the port up: {error}") from None

        def write(self, data: bytes) -> None:
            """All of `data`, non-blocking while writing so that flow control
            holding the line back ends the write after 5 s instead of hanging."""
            os.set_blocking(self.fd, False)
            try:
                view = memoryview(data)
                while view:
                    try:
                        view = view[os.write(self.fd, view):]
                    except BlockingIOError:
                        if not select.select([], [self.fd], [], 5.0)[1]:
                            raise DeviceError("cannot send: nothing could be written for 5 s "
                                              "(is flow control holding the line?)") from None
            finally:
                os.set_blocking(self.fd, True)

        def read(self, size: int) -> bytes:
            return os.read(self.fd, size)

        def discard_input(self) -> None:
            termios.tcflush(self.fd, termios.TCIFLUSH)

        def close(self) -> None:
            try:
                if self._saved is not None:
                    termios.tcsetattr(self.fd, termios.TCSANOW, self._saved)
                    fcntl.ioctl(self.fd, termios.TIOCNXCL)
            except (OSError, termios.error):
                pass  # a port that hung up keeps nothing to put back
            os.close(self.fd)

    def _open_failure(error: OSError) -> str:
        import errno

        if error.errno == errno.EACCES:
            return (f"cannot open: {error.strerror} (serial ports belong to the dialout group: "
                    "sudo usermod -aG dialout $USER, then log in again)")
        if error.errno == errno.EBUSY:
            return "busy: another program has the port to itself"
        return f"cannot open: {error.strerror}"

else:

    class _PosixLine:
        fd: int

        def __init__(self, name: str, settings: LineSettings) -> None:
            raise DeviceError("terminals are opened on POSIX systems only")

        def write(self, data: bytes) -> None:
            raise DeviceError("terminals are opened on POSIX systems only")

        def read(self, size: int) -> bytes:
            raise DeviceError("terminals are opened on POSIX systems only")

        def discard_input(self) -> None:
            raise DeviceError("terminals are opened on POSIX systems only")

        def close(self) -> None:
            raise DeviceError("terminals are opened on POSIX systems only")


class _WindowsLine:
    def __init__(self, name: str, settings: LineSettings) -> None:
        try:
            self._port = _win32.ComPort(name, settings.baud, settings.data_bits, settings.parity,
                                        settings.stop_bits, settings.flow, settings.read_wait_ms)
        except OSError as error:
            raise DeviceError(str(error.strerror or error)) from None
        self.fd = self._port.fd

    def write(self, data: bytes) -> None:
        self._port.write(data)

    def read(self, size: int) -> bytes:
        return self._port.read(size)

    def discard_input(self) -> None:
        self._port.discard_input()

    def close(self) -> None:
        self._port.close()


class BenchPort:
    """A serial port opened for a test: the device's side is a bench's
    device or a simulated one, the test's side the same either way.

    kestrin.poll() takes it as a port (it has fileno()). Everything that goes
    over it through write(), read() and expect() is kept in `traffic`.
    """

    def __init__(self, name: str, settings: LineSettings = LineSettings(),
                 identity: Optional[Dict[str, str]] = None,
                 on_match: Optional[Callable[["BenchPort", Match], None]] = None) -> None:
        self.name = name
        self.settings = settings.checked()
        # What is known of the device: for the test's records.
        self.identity: Dict[str, str] = dict(identity or {})
        self.traffic: List[Traffic] = []
        self.matches: List[Match] = []
        self._on_match = on_match
        self._opened = time.monotonic()
        self._line: Optional[Union[_PosixLine, _WindowsLine]] = None
        self._line = _WindowsLine(name, self.settings) if _WINDOWS else _PosixLine(name, self.settings)

    @property
    def closed(self) -> bool:
        return self._line is None

    def _open_line(self) -> Union[_PosixLine, _WindowsLine]:
        if self._line is None:
            raise ValueError(f"{self.name} is closed")
        return self._line

    def fileno(self) -> int:
        return self._open_line().fd

    def _note(self, direction: str, data: bytes, note: str, at: Optional[float] = None) -> None:
        if data:
            moment = time.monotonic() if at is None else at
            self.traffic.append(Traffic(moment - self._opened, direction, bytes(data), note))

    def write(self, data: bytes) -> int:
        """Sends all of `data`."""
        if isinstance(data, str) or not isinstance(data, (bytes, bytearray, memoryview)):
            raise TypeError(f"data must be bytes, not {type(data).__name__}")
        payload = bytes(data)
        self._open_line().write(payload)
        self._note("tx", payload, "write")
        return len(payload)

    def read(self, size: int = 1) -> bytes:
        """At most `size` bytes, waiting at most the read wait for the first."""
        data = self._open_line().read(size)
        self._note("rx", data, "read")
        return data

    def discard_input(self) -> None:
        """Drops what came and was not read."""
        self._open_line().discard_input()

    def expect(self, expected: bytes, send: Optional[bytes] = None, timeout_ms: int = 1000) -> Match:
        """Sends `send` (if given, after dropping stale input), then polls
        for `expected` within `timeout_ms` through the library, as
        kestrin.poll does. Returns the Match; raises AssertionError saying
        what the library read, when, and the budget, if the reply did not
        come."""
        __tracebackhide__ = True  # pytest shows the test's line, not this one
        wanted = kestrin._expected_bytes(expected)
        budget = kestrin._timeout(timeout_ms)
        if send is not None:
            if isinstance(send, str) or not isinstance(send, (bytes, bytearray, memoryview)):
                raise TypeError(f"send must be bytes, not {type(send).__name__}")
            self.discard_input()
            self.write(bytes(send))
        started = time.monotonic()
        result = kestrin.traced_poll(self, wanted, budget)
        for read in result.reads or ():
            self._note("rx", read.data, "library", started + read.at_ms / 1000.0)
        if not result.matched:
            sent = f"\nsent {format_bytes(bytes(send))}" if send is not None else ""
            raise AssertionError(
                f"{self.name}: no match for {format_bytes(wanted)} within the budget of {budget} ms "
                f"(the poll took {result.elapsed_ms:.1f} ms){sent}\n{_reads_text(result)}")
        match = Match(wanted, result.elapsed_ms, budget, result.elapsed_ms > budget)
        self.matches.append(match)
        if self._on_match is not None:
            self._on_match(self, match)
        return match

    def traffic_text(self) -> str:
        """Everything that went over the port, for a failing test's report."""
        head = f"{self.name}, {self.settings.describe()}"
        if self.identity:
            head += ", " + ", ".join(f"{key} {value}" for key, value in self.identity.items())
        lines = [head]
        if not self.traffic:
            lines.append("  nothing went over the port")
        # Bytes that came close together, the same way, show on one line.
        groups: List[Tuple[float, str, str, bytearray]] = []
        last = 0.0
        for event in self.traffic:
            if (groups and groups[-1][1:3] == (event.direction, event.note)
                    and (event.at_s - last) * 1000 <= _GROUP_GAP_MS and len(groups[-1][3]) < _GROUP_MOST):
                groups[-1][3].extend(event.data)
            else:
                groups.append((event.at_s, event.direction, event.note, bytearray(event.data)))
            last = event.at_s
        for at, direction, note, data in groups:
            lines.append(f"  {at:10.6f} s  {direction}  {data.hex(' ')}  \"{_escaped(bytes(data))}\""
                         + ("  (read by the library)" if note == "library" else ""))
        return "\n".join(lines)

    def close(self) -> None:
        """Puts the port's settings back and closes it."""
        if self._line is not None:
            line, self._line = self._line, None
            line.close()

    def __enter__(self) -> "BenchPort":
        return self

    def __exit__(self, kind: Optional[Type[BaseException]], error: Optional[BaseException],
                 trace: Optional[types.TracebackType]) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"BenchPort({self.name!r}{', closed' if self.closed else ''})"
