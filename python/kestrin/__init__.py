"""Check whether a device on a serial port answers with the bytes you expect.

A thin ctypes layer over the Kestrin library (libkestrin.so.1 or kestrin.dll)::

    import kestrin
    from serial.serialposix import VTIMESerial   # pyserial, Linux

    with VTIMESerial("/dev/ttyUSB0", 115200, timeout=0.1) as port:
        port.write(b"AT\\r")
        if kestrin.poll(port, b"OK\\r\\n", timeout_ms=2000):
            ...

Kestrin only reads the port: opening it, its speed and its read time-out are
yours. The read time-out decides how busily Kestrin polls while it waits, so
give the port one (VMIN=0 and VTIME>0 on Linux, which pyserial's VTIMESerial
sets; COMMTIMEOUTS on Windows). A plain ``serial.Serial`` works on Linux, but
it opens the port non-blocking, so Kestrin spins on the port while it waits.
On Windows pass a handle opened without FILE_FLAG_OVERLAPPED: pyserial opens
its ports for overlapped I/O, which Kestrin's synchronous reads cannot use.

The library is looked for, in this order: the file named by the
KESTRIN_LIBRARY environment variable (and nowhere else when it is set), beside
this module, where the install step put it relative to this module, and
finally by name through the system's loader.
"""

import ctypes
import os
import struct
import sys
import threading

from . import _abi

__all__ = [
    "MAX_EXPECTED",
    "LibraryNotFoundError",
    "about",
    "export_names",
    "library_path",
    "poll",
    "version",
]

# The longest expected reply the library accepts.
MAX_EXPECTED = _abi.MAX_LENGTH

LIBRARY_ENV = "KESTRIN_LIBRARY"

_WINDOWS = sys.platform == "win32"
_HERE = os.path.dirname(os.path.abspath(__file__))
_INT_MIN, _INT_MAX = -(2**31), 2**31 - 1


class LibraryNotFoundError(OSError):
    """The Kestrin library could not be found or loaded."""


def export_names(windows=_WINDOWS, pointer_bits=struct.calcsize("P") * 8):
    """The library's exported names on the given platform and width.

    The functions have C++ linkage, so each toolchain exports them under its
    own decorated name; the Windows DLLs carry Microsoft's.
    """
    platform = "linux" if not windows else "win64" if pointer_bits == 64 else "win32"
    names = _abi.EXPORT_NAMES[platform]
    return {"poll": names["pollUart"], "version": names["KestrinVersion"], "about": names["KestrinAbout"]}


def _library_file_names():
    return ("kestrin.dll",) if _WINDOWS else ("libkestrin.so.1", "libkestrin.so")


def _candidates():
    """(place, how it was found) in search order; the last one is a bare name."""
    found = []
    for name in _library_file_names():
        found.append((os.path.join(_HERE, name), "beside the module"))
    try:
        from . import _location  # written by the install step
    except ImportError:
        pass
    else:
        found.append((os.path.normpath(os.path.join(_HERE, _location.LIBRARY)), "installed location"))
    found.append((_library_file_names()[0], "system loader"))
    return found


class _Library:
    def __init__(self, path):
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


_loaded = None
_load_lock = threading.Lock()
# The library formats its about text into one shared buffer.
_about_lock = threading.Lock()


def _find_and_load():
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


def _library():
    global _loaded
    with _load_lock:
        if _loaded is None:
            _loaded = _find_and_load()
        return _loaded


def library_path():
    """The path (or, when the system's loader found it, the name) of the library in use."""
    return _library().path


def _expected_bytes(expected):
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


def _timeout(timeout_ms):
    if isinstance(timeout_ms, bool) or not isinstance(timeout_ms, int):
        raise TypeError(f"timeout_ms must be an int (milliseconds), not {type(timeout_ms).__name__}")
    if not _INT_MIN <= timeout_ms <= _INT_MAX:
        raise ValueError(f"timeout_ms {timeout_ms} does not fit a 32-bit signed int")
    return timeout_ms


def _is_pyserial(port):
    return hasattr(port, "is_open") and hasattr(port, "read_until")


def _os_handle(port):
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
    if hasattr(port, "fileno"):
        if getattr(port, "closed", False):
            raise ValueError("port is closed")
        if _WINDOWS:
            # fileno() is the C runtime's descriptor there, not the HANDLE.
            import msvcrt

            return msvcrt.get_osfhandle(port.fileno())
        return port.fileno()
    raise TypeError(
        f"port must be a file descriptor, a Windows handle or a serial port object, not {type(port).__name__}"
    )


def _check_open(handle):
    if _WINDOWS:
        if handle in (0, -1, 2**64 - 1, 2**32 - 1):
            raise ValueError(f"port handle {handle} is not a valid handle")
        flags = ctypes.c_ulong()
        if not ctypes.windll.kernel32.GetHandleInformation(ctypes.c_void_p(handle), ctypes.byref(flags)):
            raise ValueError(f"port handle {handle} is not an open handle (closed?)")
        return
    if not 0 <= handle <= _INT_MAX:
        raise ValueError(f"port {handle} is not a file descriptor")
    try:
        os.fstat(handle)
    except OSError:
        raise ValueError(f"port {handle} is not an open file descriptor (closed?)") from None


def poll(port, expected, timeout_ms):
    """Whether the device on `port` answers with `expected` within `timeout_ms`.

    Reads len(expected) bytes per attempt and compares them with `expected`,
    attempt after attempt, until one matches (True) or `timeout_ms` has passed
    (False). The budget is checked between attempts only, and an attempt ends
    after 5000 ms without a byte, so a call can outlast `timeout_ms` by up to
    one attempt. Bytes after the reply stay in the port.

    `port` is a file descriptor (Linux), a HANDLE as an int (Windows), or an
    open pyserial Serial (Linux). `expected` is 1 to 20 bytes. Blocks the
    calling thread only: other Python threads run meanwhile.
    """
    data = _expected_bytes(expected)
    budget = _timeout(timeout_ms)
    handle = _os_handle(port)
    _check_open(handle)
    lib = _library()
    pattern = (ctypes.c_ubyte * len(data)).from_buffer_copy(data)
    return lib.poll(ctypes.c_void_p(handle), len(data), pattern, budget) == 1


def version():
    """The library's version number: 0x01000000 for 1.0 (major version in the top byte)."""
    return _library().version()


def about():
    """The library's short description, five lines."""
    lib = _library()
    with _about_lock:
        return lib.about().decode("ascii", errors="replace")
