"""Check whether a device on a serial port answers with the bytes you expect.

A thin ctypes layer over the Kestrin library (libkestrin.so.1 or kestrin.dll)::

    import kestrin
    from serial.serialposix import VTIMESerial   # pyserial, Linux

    with VTIMESerial("/dev/ttyUSB0", 115200, timeout=0.1) as port:
        port.write(b"AT\\r")
        if kestrin.poll(port, b"OK\\r\\n", timeout_ms=2000):
            ...

Kestrin only reads the port: opening it, its speed and its read time-out are
yours. On Linux Kestrin waits for a byte in poll() whatever the port's
settings, so a plain ``serial.Serial`` (non-blocking) works as well as
VTIMESerial. On Windows the read time-out (COMMTIMEOUTS) decides how busily
Kestrin polls while it waits, so give the port one; and pass a handle opened without FILE_FLAG_OVERLAPPED: pyserial opens
its ports for overlapped I/O, which Kestrin's synchronous reads cannot use.

The library is looked for, in this order: the file named by the
KESTRIN_LIBRARY environment variable (and nowhere else when it is set), beside
this module (where a wheel puts it), where the install step put it relative
to this module, and finally by name through the system's loader (the Debian
package libkestrin1).

For tests against simulated devices, see :mod:`kestrin.testing`.
"""

from __future__ import annotations

import ctypes
import os
import stat
import struct
import sys
import threading
import time
from typing import Any, Callable, Dict, List, NamedTuple, Optional, Protocol, Tuple, Union, runtime_checkable

from . import _abi, _tap, _win32
from ._tap import Read

__all__ = [
    "MAX_EXPECTED",
    "LibraryNotFoundError",
    "Port",
    "Read",
    "SupportsFileno",
    "TracedPoll",
    "__version__",
    "about",
    "export_names",
    "library_path",
    "poll",
    "traced_poll",
    "version",
]

__version__: str = _abi.PACKAGE_VERSION

# The longest expected reply the library accepts.
MAX_EXPECTED: int = _abi.MAX_LENGTH

LIBRARY_ENV = "KESTRIN_LIBRARY"

_WINDOWS = sys.platform == "win32"
_HERE = os.path.dirname(os.path.abspath(__file__))
_INT_MIN, _INT_MAX = -(2**31), 2**31 - 1
# How often a waiting poll() lets the interpreter act on Ctrl-C.
_INTERRUPT_CHECK_S = 0.1


@runtime_checkable
class SupportsFileno(Protocol):
    """An open file object or pyserial port."""

    def fileno(self) -> int: ...


# A file descriptor or Windows HANDLE, an open pyserial port, or a file object.
Port = Union[int, SupportsFileno]
Bytes = Union[bytes, bytearray, memoryview]


class LibraryNotFoundError(OSError):
    """The Kestrin library could not be found or loaded."""


def export_names(windows: bool = _WINDOWS, pointer_bits: int = struct.calcsize("P") * 8) -> Dict[str, str]:
    """The library's exported names on the given platform and width.

    The functions have C++ linkage, so each toolchain exports them under its
    own decorated name; the Windows DLLs carry Microsoft's.
    """
    platform = "linux" if not windows else "win64" if pointer_bits == 64 else "win32"
    names = _abi.EXPORT_NAMES[platform]
    return {"poll": names["pollUart"], "version": names["KestrinVersion"], "about": names["KestrinAbout"]}


def _library_file_names() -> Tuple[str, ...]:
    return ("kestrin.dll",) if _WINDOWS else ("libkestrin.so.1", "libkestrin.so")


def _candidates() -> List[Tuple[str, str]]:
    """(place, how it was found) in search order; the last one is a bare name."""
    found = []
    for name in _library_file_names():
        found.append((os.path.join(_HERE, name), "beside the module"))
    try:
        from . import _location  # type: ignore[attr-defined]  # written by the install step
    except ImportError:
        pass
    else:
        found.append((os.path.normpath(os.path.join(_HERE, _location.LIBRARY)), "installed location"))
    found.append((_library_file_names()[0], "system loader"))
    return found


class _Library:
    def __init__(self, path: str) -> None:
        # Raises OSError if the file is not a loadable library for this
        # interpreter (wrong width, wrong platform).
        self.path = path
        dll = ctypes.CDLL(path)
        names = export_names()
        try:
            self.poll = dll[names["poll"]]
            self.version = dll[names["version"]]
            self.about = dll[names["about"]]
        except AttributeError as error:
            raise LibraryNotFoundError(f"{path} is not the Kestrin library: {error}") from None
        self.poll.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.POINTER(ctypes.c_ubyte), ctypes.c_int]
        self.poll.restype = ctypes.c_int
        self.version.argtypes = []
        self.version.restype = ctypes.c_int
        self.about.argtypes = []
        self.about.restype = ctypes.c_char_p
        # The read tap, bound to the library's reads now, before any poll;
        # without one, polls are the same and their reads unknown.
        address = ctypes.cast(self.poll, ctypes.c_void_p).value or 0
        self.tap: Optional[_tap.Tap]
        self.tap, self.tap_problem = _tap.load(path, address)


_loaded: Optional[_Library] = None
_load_lock = threading.Lock()
# The library formats its about text into one shared buffer.
_about_lock = threading.Lock()


def _find_and_load() -> _Library:
    configured = os.environ.get(LIBRARY_ENV)
    if configured:
        if not os.path.isfile(configured):
            raise LibraryNotFoundError(f"{LIBRARY_ENV} names {configured!r}, which is not a file")
        try:
            return _Library(configured)
        except OSError as error:
            raise LibraryNotFoundError(f"{LIBRARY_ENV} names {configured!r}, which does not load: {error}") from None
    tried = []
    for place, how in _candidates():
        if how != "system loader" and not os.path.isfile(place):
            tried.append(f"{place} ({how}): no such file")
            continue
        try:
            return _Library(place)
        except OSError as error:
            tried.append(f"{place} ({how}): {error}")
    raise LibraryNotFoundError(
        "the Kestrin library was not found; set " + LIBRARY_ENV + " to its path. Tried:\n  " + "\n  ".join(tried)
    )


def _library() -> _Library:
    global _loaded
    with _load_lock:
        if _loaded is None:
            _loaded = _find_and_load()
        return _loaded


def library_path() -> str:
    """The path (or, when the system's loader found it, the name) of the library in use."""
    return _library().path


def _expected_bytes(expected: Bytes) -> bytes:
    if isinstance(expected, str):
        raise TypeError("expected must be bytes, not str: encode it first, e.g. 'OK'.encode('ascii')")
    if not isinstance(expected, (bytes, bytearray, memoryview)):
        raise TypeError(f"expected must be bytes, not {type(expected).__name__}")
    data = bytes(expected)
    if not data:
        raise ValueError("expected must hold at least one byte")
    if len(data) > MAX_EXPECTED:
        raise ValueError(f"expected holds {len(data)} bytes; Kestrin compares at most {MAX_EXPECTED}")
    return data


def _timeout(timeout_ms: int) -> int:
    if isinstance(timeout_ms, bool) or not isinstance(timeout_ms, int):
        raise TypeError(f"timeout_ms must be an int (milliseconds), not {type(timeout_ms).__name__}")
    if not _INT_MIN <= timeout_ms <= _INT_MAX:
        raise ValueError(f"timeout_ms {timeout_ms} does not fit a 32-bit signed int")
    return timeout_ms


def _is_pyserial(port: Any) -> bool:
    return hasattr(port, "is_open") and hasattr(port, "read_until")


def _os_handle(port: Any) -> int:
    """The fd or HANDLE in `port`, an int, a pyserial Serial or a file object."""
    if isinstance(port, bool):
        raise TypeError("port must be a file descriptor, a Windows handle or a serial port object, not bool")
    if isinstance(port, int):
        return port
    if _is_pyserial(port):
        if not port.is_open:
            raise ValueError(f"port {port.name!r} is closed")
        if _WINDOWS:
            raise ValueError(
                "pyserial opens Windows ports for overlapped I/O, which Kestrin's synchronous reads "
                "cannot use; open the port with CreateFile without FILE_FLAG_OVERLAPPED and pass the handle"
            )
        handle = getattr(port, "fd", None)
        if not isinstance(handle, int):
            raise TypeError(f"{type(port).__name__} has no operating-system handle (a URL port?)")
        return handle
    if isinstance(port, SupportsFileno):
        if getattr(port, "closed", False):
            raise ValueError("port is closed")
        if _WINDOWS:
            # fileno() is the C runtime's descriptor there, not the HANDLE.
            return _win32.handle_of_descriptor(port.fileno())
        return port.fileno()
    raise TypeError(
        f"port must be a file descriptor, a Windows handle or a serial port object, not {type(port).__name__}"
    )


# What cannot be a serial line: reading it would consume a file's bytes, or
# fail or end at once on every read. Terminals, sockets (a network serial
# bridge) and pipes' read ends pass.
_NOT_A_LINE = ((stat.S_ISREG, "a regular file"), (stat.S_ISDIR, "a directory"), (stat.S_ISBLK, "a block device"))

_FILE_TYPE_DISK = _win32.FILE_TYPE_DISK
_FILE_TYPE_CHAR = _win32.FILE_TYPE_CHAR


def _windows_file_type(handle: int) -> Optional[int]:
    """GetFileType of an open HANDLE, or None if the handle is not open."""
    return _win32.file_type(handle)


def _windows_is_comm_device(handle: int) -> bool:
    return _win32.is_comm_device(handle)


if sys.platform != "win32":
    import fcntl
    import termios

    def _is_terminal(fd: int) -> bool:
        """Whether a descriptor is a terminal. Asked as the library asks
        (tcgetattr), which also answers for a serial port that a test double
        such as umockdev emulates, where isatty() says no."""
        try:
            termios.tcgetattr(fd)
        except termios.error:
            return False
        return True

    def _unreadable(fd: int) -> Optional[str]:
        """Why a descriptor cannot be read, or None. Raises OSError when it is not open."""
        flags = fcntl.fcntl(fd, fcntl.F_GETFL)
        if flags & os.O_PATH:
            return "open as a path only (O_PATH), not for reading"
        if flags & os.O_ACCMODE == os.O_WRONLY:
            return "not open for reading (write-only, such as a pipe's write end)"
        return None

else:

    def _is_terminal(fd: int) -> bool:
        raise OSError(0, "descriptors are checked on POSIX systems only")

    def _unreadable(fd: int) -> Optional[str]:
        raise OSError(0, "descriptors are checked on POSIX systems only")


def _check_port(handle: int) -> None:
    """Refuses a handle that is not open, or open on something that cannot be a serial line."""
    if _WINDOWS:
        if handle in (0, -1, 2**64 - 1, 2**32 - 1):
            raise ValueError(f"port handle {handle} is not a valid handle")
        kind = _windows_file_type(handle)
        if kind is None:
            raise ValueError(f"port handle {handle} is not an open handle (closed?)")
        if kind == _FILE_TYPE_DISK:
            raise ValueError(f"port handle {handle} is a file on a disk, not a serial line")
        if kind == _FILE_TYPE_CHAR and not _windows_is_comm_device(handle):
            raise ValueError(f"port handle {handle} is a character device that is not a serial port "
                             "(the console, NUL), not a serial line")
        return
    if not 0 <= handle <= _INT_MAX:
        raise ValueError(f"port {handle} is not a file descriptor")
    try:
        mode = os.fstat(handle).st_mode
        unreadable = _unreadable(handle)
    except OSError:
        raise ValueError(f"port {handle} is not an open file descriptor (closed?)") from None
    for test, what in _NOT_A_LINE:
        if test(mode):
            raise ValueError(f"port {handle} is {what}, not a serial line")
    if unreadable:
        raise ValueError(f"port {handle} is {unreadable}")
    if stat.S_ISCHR(mode) and not _is_terminal(handle):
        raise ValueError(f"port {handle} is a character device that is not a terminal (such as /dev/null), "
                         "not a serial line")


def _duplicate(handle: int) -> int:
    """A second handle on the same open port, which the caller may close
    without touching the one it was made from."""
    if not _WINDOWS:
        return os.dup(handle)
    return _win32.duplicate(handle)


def _close(handle: int) -> None:
    if _WINDOWS:
        _win32.close(handle)
    else:
        os.close(handle)


def _call_interruptibly(call: Callable[[int], int], handle: int) -> int:
    """call(handle) in a worker thread, waited for in short slices so that
    Ctrl-C ends the wait at once.

    The library's call cannot be stopped, so an interrupted poll runs on in
    the background on a duplicate of the handle, reading whatever the port
    delivers, until it ends as it would have (a match, or the budget spent
    at the end of an attempt); its result is dropped. The duplicate keeps it
    on the same port even after the caller closes its own handle, whose
    number may then be reused for another file.
    """
    copy = _duplicate(handle)
    outcome: List[int] = []
    failure: List[BaseException] = []
    done = threading.Event()

    def run() -> None:
        try:
            outcome.append(call(copy))
        except BaseException as error:  # handed to the waiting caller
            failure.append(error)
        finally:
            _close(copy)
            done.set()

    # A daemon, so that an interrupted poll never keeps the interpreter from exiting.
    worker = threading.Thread(target=run, name="kestrin.poll", daemon=True)
    worker.start()
    while not done.wait(_INTERRUPT_CHECK_S):
        pass
    if failure:
        raise failure[0]
    return outcome[0]


def poll(port: Port, expected: Bytes, timeout_ms: int) -> bool:
    """Whether the device on `port` answers with `expected` within `timeout_ms`.

    Reads len(expected) bytes per attempt and compares them with `expected`,
    attempt after attempt, until one matches (True) or `timeout_ms` has passed
    (False). The budget is checked between attempts only, and an attempt ends
    after 5000 ms without a byte, so a call can outlast `timeout_ms` by up to
    one attempt. Bytes after the reply stay in the port.

    `port` is a file descriptor (Linux), a HANDLE as an int (Windows), or an
    open pyserial Serial (Linux), open on a serial line: a terminal, or a
    socket or pipe that carries one. A regular file, a directory, a block
    device, a character device that is not a terminal (/dev/null) and a
    descriptor not open for reading (a pipe's write end) raise ValueError.
    `expected` is 1 to 20 bytes.

    Blocks the calling thread only: other Python threads run meanwhile. In
    the main thread, Ctrl-C interrupts the wait within a fraction of a second
    (KeyboardInterrupt); the library's poll itself cannot be stopped and runs
    on in the background until it ends by itself, reading and discarding
    what the port delivers meanwhile, so do not poll that port again while
    it may still run (at most `timeout_ms` plus 5 s of silence, or, with a
    budget of 2**31 - 1, until a match).
    """
    return _run_poll(port, expected, timeout_ms, traced=False).matched


class TracedPoll(NamedTuple):
    """A poll's outcome, with what the library read."""

    matched: bool
    # How long the library's call took, in milliseconds.
    elapsed_ms: float
    # Each read call's bytes with its time since the poll began, or None
    # when the reads could not be seen (see `unknown`).
    reads: Optional[Tuple[Read, ...]]
    # How many bytes the library read in all (reads keeps the first 65536).
    delivered: int
    # Why `reads` is None.
    unknown: str


def traced_poll(port: Port, expected: Bytes, timeout_ms: int) -> TracedPoll:
    """The same poll as poll(), which also tells what the library read.

    The reads are seen through the read tap (a small native library the
    wheel carries; see kestrin._tap), which the library's reads go through
    unchanged. Without it the poll is the same and `reads` is None.
    """
    return _run_poll(port, expected, timeout_ms, traced=True)


def _run_poll(port: Port, expected: Bytes, timeout_ms: int, traced: bool) -> TracedPoll:
    data = _expected_bytes(expected)
    budget = _timeout(timeout_ms)
    handle = _os_handle(port)
    _check_port(handle)
    lib = _library()
    pattern = (ctypes.c_ubyte * len(data)).from_buffer_copy(data)
    tap: Optional[_tap.Tap] = getattr(lib, "tap", None) if traced else None
    unknown = "" if tap is not None or not traced else getattr(lib, "tap_problem", "no read tap")
    watched: List[_tap.Watch] = []
    elapsed: List[float] = []

    def call(target: int) -> int:
        nonlocal unknown
        watch = None
        if tap is not None:
            try:
                watch = tap.watch(target)
            except OSError as error:
                unknown = str(error)
        # The tap's clock when it watches, so that the reads' times and the
        # poll's length are measured alike.
        clock: Callable[[], int] = tap.now_ns if watch is not None and tap is not None else time.perf_counter_ns
        started = clock()
        if watch is not None:
            watch.started_ns = started
        try:
            return int(lib.poll(ctypes.c_void_p(target), len(data), pattern, budget))
        finally:
            elapsed.append((clock() - started) / 1e6)
            if watch is not None:
                watch.finish()
                watched.append(watch)

    # Only the main thread receives Ctrl-C; elsewhere nothing could interrupt the wait.
    if threading.current_thread() is threading.main_thread():
        result = _call_interruptibly(call, handle)
    else:
        result = call(handle)
    if watched:
        return TracedPoll(result == 1, elapsed[0], watched[0].reads, watched[0].delivered, "")
    return TracedPoll(result == 1, elapsed[0], None, 0, unknown)


def version() -> int:
    """The library's version number: 0x01000000 for 1.0 (major version in the top byte)."""
    return int(_library().version())


def about() -> str:
    """The library's short description, five lines."""
    lib = _library()
    with _about_lock:
        text: bytes = lib.about()
        return text.decode("ascii", errors="replace")
