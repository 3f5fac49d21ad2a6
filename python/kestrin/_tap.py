"""The read tap: what the library read during a poll, seen without changing it.

A program can put a read() of its own in front of the C library's before the
Kestrin library is loaded (the kestrin tool does); a Python interpreter is
running long before. The tap is a small native library (python/tap/) that,
once the Kestrin library is loaded, points the library's own import of the
read call (its GOT slots for read() on Linux, its import-table entry for
ReadFile on Windows) at a function that hands each call on unchanged to the
one the import held and notes the bytes delivered on a watched port. Only the
Kestrin library's reads go through it, and they are the same reads.

It is looked for in this order: the file KESTRIN_TAP names (and only that one
when the variable is set), beside this module (where a wheel puts it), and
beside the library in use (a build tree). Without one, polls work as ever and
their reads are simply not known.
"""

from __future__ import annotations

import ctypes
import os
import sys
import threading
from typing import List, NamedTuple, Optional, Tuple

TAP_ENV = "KESTRIN_TAP"
_HERE = os.path.dirname(os.path.abspath(__file__))
# The bytes kept per poll; more are counted, not kept.
CAPACITY = 65536


class Read(NamedTuple):
    """Bytes one read call of the library delivered, and when (ms since the poll began)."""

    at_ms: float
    data: bytes


def file_name() -> str:
    return "kestrin_tap.dll" if sys.platform == "win32" else "libkestrin_tap.so"


def candidates(library_path: str) -> List[str]:
    """Where the tap may be, in order, for a library loaded from `library_path`."""
    configured = os.environ.get(TAP_ENV)
    if configured is not None:
        return [configured]
    found = [os.path.join(_HERE, file_name())]
    if os.path.dirname(library_path):
        found.append(os.path.join(os.path.dirname(library_path), file_name()))
    return found


class Tap:
    """The tap, attached to one loaded Kestrin library."""

    def __init__(self, path: str, address_in_library: int) -> None:
        """Loads the tap at `path` and points the reads of the library that
        holds `address_in_library` through it. Raises OSError when either
        fails."""
        self.path = path
        dll = ctypes.CDLL(path, use_errno=True)
        self._attach = dll.kestrin_tap_attach
        self._attach.argtypes = [ctypes.c_void_p]
        self._attach.restype = ctypes.c_int
        self._now = dll.kestrin_tap_now_ns
        self._now.argtypes = []
        self._now.restype = ctypes.c_int64
        self._watch = dll.kestrin_tap_watch
        self._watch.argtypes = [ctypes.c_void_p, ctypes.c_size_t]
        self._watch.restype = ctypes.c_int
        self._take = dll.kestrin_tap_take
        self._take.argtypes = [
            ctypes.c_int, ctypes.POINTER(ctypes.c_ubyte), ctypes.POINTER(ctypes.c_int64), ctypes.c_size_t,
            ctypes.POINTER(ctypes.c_uint64),
        ]
        self._take.restype = ctypes.c_size_t
        self._release = dll.kestrin_tap_release
        self._release.argtypes = [ctypes.c_int]
        self._release.restype = None
        bound = int(self._attach(ctypes.c_void_p(address_in_library)))
        if bound < 0:
            raise OSError(ctypes.get_errno() or 0, f"{path} could not reach the library's read calls")
        if bound == 0:
            raise OSError(0, f"{path} found no read call imported by the library")
        self.slots = bound

    def now_ns(self) -> int:
        """The clock of the notes' times."""
        return int(self._now())

    def watch(self, handle: int) -> "Watch":
        number = int(self._watch(ctypes.c_void_p(handle), CAPACITY))
        if number < 0:
            raise OSError(0, "the read tap has no watch free (too many polls at once)")
        return Watch(self, number, self.now_ns())

    def take(self, number: int) -> Tuple[List[Tuple[int, int]], int]:
        """(time in ns, byte) of each byte kept, and how many were delivered."""
        data = (ctypes.c_ubyte * CAPACITY)()
        times = (ctypes.c_int64 * CAPACITY)()
        delivered = ctypes.c_uint64()
        count = int(self._take(number, data, times, CAPACITY, ctypes.byref(delivered)))
        return [(times[i], data[i]) for i in range(count)], int(delivered.value)

    def release(self, number: int) -> None:
        self._release(number)


class Watch:
    """What the library reads on one port during one poll."""

    def __init__(self, tap: Tap, number: int, started_ns: int) -> None:
        self._tap = tap
        self._number: Optional[int] = number
        self.started_ns = started_ns
        self.reads: Tuple[Read, ...] = ()
        self.delivered = 0

    def finish(self) -> None:
        """Takes what was noted and stops watching."""
        if self._number is None:
            return
        kept, self.delivered = self._tap.take(self._number)
        self._tap.release(self._number)
        self._number = None
        self.reads = group_reads(kept, self.started_ns)


def group_reads(kept: List[Tuple[int, int]], started_ns: int) -> Tuple[Read, ...]:
    """Bytes noted at the same moment came from one read call."""
    reads: List[Read] = []
    chunk = bytearray()
    at: Optional[int] = None
    for when, byte in kept:
        if at is not None and when != at:
            reads.append(Read((at - started_ns) / 1e6, bytes(chunk)))
            chunk = bytearray()
        at = when
        chunk.append(byte)
    if at is not None:
        reads.append(Read((at - started_ns) / 1e6, bytes(chunk)))
    return tuple(reads)


_lock = threading.Lock()


def load(library_path: str, address_in_library: int) -> Tuple[Optional[Tap], str]:
    """The tap attached to the library, or None and why not."""
    with _lock:
        tried = []
        for place in candidates(library_path):
            if not os.path.isfile(place):
                tried.append(f"{place}: no such file")
                continue
            try:
                return Tap(place, address_in_library), ""
            except OSError as error:
                return None, f"the read tap {place} does not work: {error}"
        where = f"{TAP_ENV} names {tried[0]}" if os.environ.get(TAP_ENV) is not None else "; ".join(tried)
        return None, f"no read tap ({where})"
