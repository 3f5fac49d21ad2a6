"""Windows calls, through ctypes: the handle checks kestrin.poll makes, and
serial ports opened and set up the way the kestrin tool does.

Everything that calls Windows is defined under ``sys.platform == "win32"``, so
that a type checker told the platform checks exactly that code (the test
python_types_windows runs mypy --platform win32); elsewhere the same names
raise OSError. The structures are plain ctypes, checked against Windows'
layout on any machine by the tests.
"""

from __future__ import annotations

import ctypes
import sys
from typing import Optional

# ---- Structures (layout as in the Windows SDK; the tests check it) ------------------------


class DCB(ctypes.Structure):
    """The device-control block: a serial port's line settings."""

    _fields_ = [
        ("DCBlength", ctypes.c_uint32),
        ("BaudRate", ctypes.c_uint32),
        ("fBinary", ctypes.c_uint32, 1),
        ("fParity", ctypes.c_uint32, 1),
        ("fOutxCtsFlow", ctypes.c_uint32, 1),
        ("fOutxDsrFlow", ctypes.c_uint32, 1),
        ("fDtrControl", ctypes.c_uint32, 2),
        ("fDsrSensitivity", ctypes.c_uint32, 1),
        ("fTXContinueOnXoff", ctypes.c_uint32, 1),
        ("fOutX", ctypes.c_uint32, 1),
        ("fInX", ctypes.c_uint32, 1),
        ("fErrorChar", ctypes.c_uint32, 1),
        ("fNull", ctypes.c_uint32, 1),
        ("fRtsControl", ctypes.c_uint32, 2),
        ("fAbortOnError", ctypes.c_uint32, 1),
        ("fDummy2", ctypes.c_uint32, 17),
        ("wReserved", ctypes.c_uint16),
        ("XonLim", ctypes.c_uint16),
        ("XoffLim", ctypes.c_uint16),
        ("ByteSize", ctypes.c_uint8),
        ("Parity", ctypes.c_uint8),
        ("StopBits", ctypes.c_uint8),
        ("XonChar", ctypes.c_char),
        ("XoffChar", ctypes.c_char),
        ("ErrorChar", ctypes.c_char),
        ("EofChar", ctypes.c_char),
        ("EvtChar", ctypes.c_char),
        ("wReserved1", ctypes.c_uint16),
    ]


class COMMTIMEOUTS(ctypes.Structure):
    _fields_ = [
        ("ReadIntervalTimeout", ctypes.c_uint32),
        ("ReadTotalTimeoutMultiplier", ctypes.c_uint32),
        ("ReadTotalTimeoutConstant", ctypes.c_uint32),
        ("WriteTotalTimeoutMultiplier", ctypes.c_uint32),
        ("WriteTotalTimeoutConstant", ctypes.c_uint32),
    ]


class COMMPROP(ctypes.Structure):
    _fields_ = [
        ("wPacketLength", ctypes.c_uint16),
        ("wPacketVersion", ctypes.c_uint16),
        ("dwServiceMask", ctypes.c_uint32),
        ("dwReserved1", ctypes.c_uint32),
        ("dwMaxTxQueue", ctypes.c_uint32),
        ("dwMaxRxQueue", ctypes.c_uint32),
        ("dwMaxBaud", ctypes.c_uint32),
        ("dwProvSubType", ctypes.c_uint32),
        ("dwProvCapabilities", ctypes.c_uint32),
        ("dwSettableParams", ctypes.c_uint32),
        ("dwSettableBaud", ctypes.c_uint32),
        ("wSettableData", ctypes.c_uint16),
        ("wSettableStopParity", ctypes.c_uint16),
        ("dwCurrentTxQueue", ctypes.c_uint32),
        ("dwCurrentRxQueue", ctypes.c_uint32),
        ("dwProvSpec1", ctypes.c_uint32),
        ("dwProvSpec2", ctypes.c_uint32),
        ("wcProvChar", ctypes.c_uint16 * 1),
    ]


MAXDWORD = 0xFFFFFFFF
NOPARITY, ODDPARITY, EVENPARITY, MARKPARITY, SPACEPARITY = 0, 1, 2, 3, 4
ONESTOPBIT, TWOSTOPBITS = 0, 2
DTR_CONTROL_DISABLE, DTR_CONTROL_ENABLE, DTR_CONTROL_HANDSHAKE = 0, 1, 2
RTS_CONTROL_DISABLE, RTS_CONTROL_ENABLE, RTS_CONTROL_HANDSHAKE, RTS_CONTROL_TOGGLE = 0, 1, 2, 3
PARITY_CODES = {"none": NOPARITY, "odd": ODDPARITY, "even": EVENPARITY, "mark": MARKPARITY, "space": SPACEPARITY}
FILE_TYPE_DISK = 0x0001
FILE_TYPE_CHAR = 0x0002


def port_device_path(name: str) -> str:
    """COM10 and up open only with the device namespace prefix; any port opens with it."""
    return name if name.startswith("\\\\.\\") else "\\\\.\\" + name


def port_claim_name(name: str) -> str:
    """The kestrin tool's claim on a port (COM3, com3 and \\\\.\\COM3 are one),
    which keeps a second user off it under Wine, where ports open twice."""
    bare = name[4:] if name.startswith("\\\\.\\") else name
    return "Global\\kestrin-port-" + bare.replace("\\", "/").upper()


def read_timeouts(wait_ms: int) -> COMMTIMEOUTS:
    """A read returns the waiting bytes at once, the first to arrive within
    `wait_ms`, or nothing after it (as the tool sets a port)."""
    timeouts = COMMTIMEOUTS()
    timeouts.WriteTotalTimeoutConstant = 5000
    timeouts.ReadIntervalTimeout = MAXDWORD
    if wait_ms > 0:
        timeouts.ReadTotalTimeoutMultiplier = MAXDWORD
        timeouts.ReadTotalTimeoutConstant = min(wait_ms, MAXDWORD - 1)
    return timeouts


def configured_dcb(saved: DCB, baud: int, data_bits: int, parity: str, stop_bits: int, flow: str,
                   receive_queue: int) -> DCB:
    """The port's DCB with the line settings applied, as the tool applies
    them: binary, no error replacement, no abort on error, no DSR
    handshaking, DTR and RTS left as they were unless flow control drives RTS."""
    dcb = DCB.from_buffer_copy(saved)
    dcb.BaudRate = baud
    dcb.ByteSize = data_bits
    dcb.Parity = PARITY_CODES[parity]
    dcb.StopBits = TWOSTOPBITS if stop_bits == 2 else ONESTOPBIT
    dcb.fBinary = 1
    dcb.fParity = 0 if parity == "none" else 1
    dcb.fErrorChar = 0
    dcb.fNull = 0
    dcb.fAbortOnError = 0
    dcb.fOutxDsrFlow = 0
    dcb.fDsrSensitivity = 0
    if dcb.fDtrControl == DTR_CONTROL_HANDSHAKE:
        dcb.fDtrControl = DTR_CONTROL_ENABLE
    dcb.fOutxCtsFlow = 1 if flow == "rtscts" else 0
    if flow == "rtscts":
        dcb.fRtsControl = RTS_CONTROL_HANDSHAKE
    elif dcb.fRtsControl in (RTS_CONTROL_HANDSHAKE, RTS_CONTROL_TOGGLE):
        dcb.fRtsControl = RTS_CONTROL_ENABLE
    xon = flow == "xonxoff"
    dcb.fOutX = 1 if xon else 0
    dcb.fInX = 1 if xon else 0
    if xon:
        dcb.XonChar = b"\x11"
        dcb.XoffChar = b"\x13"
        # Stop the sender with a quarter of the input buffer still free.
        queue = receive_queue if receive_queue >= 64 else 4096
        dcb.XoffLim = min(queue // 4, 0xFFFF)
        dcb.XonLim = min(queue // 4, 0xFFFF)
    return dcb


if sys.platform == "win32":
    import msvcrt
    import os
    from ctypes import wintypes

    _kernel32 = ctypes.WinDLL("kernel32", use_last_error=True)

    _GetFileType = _kernel32.GetFileType
    _GetFileType.argtypes = [wintypes.HANDLE]
    _GetFileType.restype = wintypes.DWORD
    _GetHandleInformation = _kernel32.GetHandleInformation
    _GetHandleInformation.argtypes = [wintypes.HANDLE, ctypes.POINTER(wintypes.DWORD)]
    _GetHandleInformation.restype = wintypes.BOOL
    _GetCommMask = _kernel32.GetCommMask
    _GetCommMask.argtypes = [wintypes.HANDLE, ctypes.POINTER(wintypes.DWORD)]
    _GetCommMask.restype = wintypes.BOOL
    _GetCurrentProcess = _kernel32.GetCurrentProcess
    _GetCurrentProcess.argtypes = []
    _GetCurrentProcess.restype = wintypes.HANDLE
    _DuplicateHandle = _kernel32.DuplicateHandle
    _DuplicateHandle.argtypes = [
        wintypes.HANDLE, wintypes.HANDLE, wintypes.HANDLE, ctypes.POINTER(wintypes.HANDLE), wintypes.DWORD,
        wintypes.BOOL, wintypes.DWORD,
    ]
    _DuplicateHandle.restype = wintypes.BOOL
    _CloseHandle = _kernel32.CloseHandle
    _CloseHandle.argtypes = [wintypes.HANDLE]
    _CloseHandle.restype = wintypes.BOOL
    _CreateFileW = _kernel32.CreateFileW
    _CreateFileW.argtypes = [
        wintypes.LPCWSTR, wintypes.DWORD, wintypes.DWORD, ctypes.c_void_p, wintypes.DWORD, wintypes.DWORD,
        wintypes.HANDLE,
    ]
    _CreateFileW.restype = wintypes.HANDLE
    _CreateMutexW = _kernel32.CreateMutexW
    _CreateMutexW.argtypes = [ctypes.c_void_p, wintypes.BOOL, wintypes.LPCWSTR]
    _CreateMutexW.restype = wintypes.HANDLE
    _GetCommState = _kernel32.GetCommState
    _GetCommState.argtypes = [wintypes.HANDLE, ctypes.POINTER(DCB)]
    _GetCommState.restype = wintypes.BOOL
    _SetCommState = _kernel32.SetCommState
    _SetCommState.argtypes = [wintypes.HANDLE, ctypes.POINTER(DCB)]
    _SetCommState.restype = wintypes.BOOL
    _GetCommTimeouts = _kernel32.GetCommTimeouts
    _GetCommTimeouts.argtypes = [wintypes.HANDLE, ctypes.POINTER(COMMTIMEOUTS)]
    _GetCommTimeouts.restype = wintypes.BOOL
    _SetCommTimeouts = _kernel32.SetCommTimeouts
    _SetCommTimeouts.argtypes = [wintypes.HANDLE, ctypes.POINTER(COMMTIMEOUTS)]
    _SetCommTimeouts.restype = wintypes.BOOL
    _GetCommProperties = _kernel32.GetCommProperties
    _GetCommProperties.argtypes = [wintypes.HANDLE, ctypes.POINTER(COMMPROP)]
    _GetCommProperties.restype = wintypes.BOOL
    _PurgeComm = _kernel32.PurgeComm
    _PurgeComm.argtypes = [wintypes.HANDLE, wintypes.DWORD]
    _PurgeComm.restype = wintypes.BOOL
    _ReadFile = _kernel32.ReadFile
    _ReadFile.argtypes = [wintypes.HANDLE, ctypes.c_void_p, wintypes.DWORD, ctypes.POINTER(wintypes.DWORD),
                          ctypes.c_void_p]
    _ReadFile.restype = wintypes.BOOL
    _WriteFile = _kernel32.WriteFile
    _WriteFile.argtypes = [wintypes.HANDLE, ctypes.c_void_p, wintypes.DWORD, ctypes.POINTER(wintypes.DWORD),
                           ctypes.c_void_p]
    _WriteFile.restype = wintypes.BOOL

    _GENERIC_READ = 0x80000000
    _GENERIC_WRITE = 0x40000000
    _OPEN_EXISTING = 3
    _INVALID_HANDLE_VALUE = ctypes.c_void_p(-1).value
    _DUPLICATE_SAME_ACCESS = 0x2
    _ERROR_ACCESS_DENIED = 5
    _ERROR_SHARING_VIOLATION = 32
    _ERROR_ALREADY_EXISTS = 183
    _PURGE_RXABORT = 0x0002
    _PURGE_RXCLEAR = 0x0008

    def _failure(what: str) -> OSError:
        code = ctypes.get_last_error()
        return OSError(0, f"{what}: {ctypes.FormatError(code).strip()}", None, code)

    def file_type(handle: int) -> Optional[int]:
        """GetFileType of an open HANDLE, or None if the handle is not open."""
        flags = wintypes.DWORD()
        if not _GetHandleInformation(handle, ctypes.byref(flags)):
            return None
        return int(_GetFileType(handle))

    def is_comm_device(handle: int) -> bool:
        """Whether a handle is a communications device (a serial port): the
        console and NUL are character devices too, but not these."""
        mask = wintypes.DWORD()
        return bool(_GetCommMask(handle, ctypes.byref(mask)))

    def duplicate(handle: int) -> int:
        process = _GetCurrentProcess()
        copy = wintypes.HANDLE()
        if not _DuplicateHandle(process, handle, process, ctypes.byref(copy), 0, False, _DUPLICATE_SAME_ACCESS):
            raise _failure("cannot duplicate the port's handle")
        return int(copy.value or 0)

    def close(handle: int) -> None:
        _CloseHandle(handle)

    def handle_of_descriptor(fd: int) -> int:
        """The HANDLE under a C runtime descriptor (what fileno() gives)."""
        return int(msvcrt.get_osfhandle(fd))

    class ComPort:
        """A COM port opened for this process alone, synchronous (no
        FILE_FLAG_OVERLAPPED, which the library's reads cannot use), with
        the line settings applied and the tool's read time-outs; close()
        puts back the settings it had."""

        def __init__(self, name: str, baud: int, data_bits: int, parity: str, stop_bits: int, flow: str,
                     read_wait_ms: int) -> None:
            self._claim: Optional[int] = _CreateMutexW(None, False, port_claim_name(name))
            code = ctypes.get_last_error()
            if (self._claim and code == _ERROR_ALREADY_EXISTS) or (not self._claim and code == _ERROR_ACCESS_DENIED):
                self._release_claim()
                raise OSError(0, f"{name}: busy: a kestrin has it open")
            handle = _CreateFileW(port_device_path(name), _GENERIC_READ | _GENERIC_WRITE, 0, None, _OPEN_EXISTING,
                                  0, None)
            if handle is None or handle == _INVALID_HANDLE_VALUE:
                code = ctypes.get_last_error()
                self._release_claim()
                if code in (_ERROR_SHARING_VIOLATION, _ERROR_ACCESS_DENIED):
                    raise OSError(0, f"{name}: busy or not yours to open: {ctypes.FormatError(code).strip()}")
                raise OSError(0, f"{name}: cannot open: {ctypes.FormatError(code).strip()}")
            self.handle = int(handle)
            self._saved: Optional[DCB] = None
            self._saved_timeouts = COMMTIMEOUTS()
            try:
                saved = DCB()
                saved.DCBlength = ctypes.sizeof(DCB)
                if not _GetCommState(self.handle, ctypes.byref(saved)):
                    raise _failure(f"{name}: not a serial port")
                if not _GetCommTimeouts(self.handle, ctypes.byref(self._saved_timeouts)):
                    raise _failure(f"{name}: cannot read its time-outs")
                self._saved = saved
                properties = COMMPROP()
                queue = properties.dwCurrentRxQueue if _GetCommProperties(self.handle, ctypes.byref(properties)) else 0
                dcb = configured_dcb(saved, baud, data_bits, parity, stop_bits, flow, queue)
                if not _SetCommState(self.handle, ctypes.byref(dcb)):
                    raise _failure(f"{name}: cannot apply the port settings ({baud} baud {data_bits}"
                                   f"{parity[0].upper()}{stop_bits})")
                timeouts = read_timeouts(read_wait_ms)
                if not _SetCommTimeouts(self.handle, ctypes.byref(timeouts)):
                    raise _failure(f"{name}: cannot set the read time-outs")
                self.discard_input()
                # A C runtime descriptor over the handle, so that fileno()
                # means the same as on Linux and kestrin.poll finds the HANDLE.
                self.fd = msvcrt.open_osfhandle(self.handle, os.O_BINARY)
            except BaseException:
                self._restore()
                _CloseHandle(self.handle)
                self._release_claim()
                raise

        def write(self, data: bytes) -> None:
            """All of `data`; the write time-out (5 s) ends a stalled one."""
            view = memoryview(data)
            while view:
                chunk = (ctypes.c_char * len(view)).from_buffer_copy(view)
                written = wintypes.DWORD()
                if not _WriteFile(self.handle, chunk, len(view), ctypes.byref(written), None):
                    raise _failure("cannot send")
                if written.value == 0:
                    raise OSError(0, "cannot send: the write timed out (is flow control holding the line?)")
                view = view[written.value:]

        def read(self, size: int) -> bytes:
            """What is waiting, up to `size`, or the first byte within the read wait."""
            buffer = (ctypes.c_char * max(size, 1))()
            got = wintypes.DWORD()
            if not _ReadFile(self.handle, buffer, size, ctypes.byref(got), None):
                raise _failure("cannot read")
            return buffer.raw[: got.value]

        def discard_input(self) -> None:
            if not _PurgeComm(self.handle, _PURGE_RXCLEAR | _PURGE_RXABORT):
                raise _failure("cannot discard stale input")

        def _restore(self) -> None:
            if self._saved is not None:
                _SetCommState(self.handle, ctypes.byref(self._saved))
                _SetCommTimeouts(self.handle, ctypes.byref(self._saved_timeouts))

        def _release_claim(self) -> None:
            if self._claim:
                _CloseHandle(self._claim)
            self._claim = None

        def close(self) -> None:
            """Puts the settings back and closes the port (through its descriptor)."""
            self._restore()
            os.close(self.fd)
            self._release_claim()

else:

    def file_type(handle: int) -> Optional[int]:
        raise OSError(0, "Windows handles exist on Windows only")

    def is_comm_device(handle: int) -> bool:
        raise OSError(0, "Windows handles exist on Windows only")

    def duplicate(handle: int) -> int:
        raise OSError(0, "Windows handles exist on Windows only")

    def close(handle: int) -> None:
        raise OSError(0, "Windows handles exist on Windows only")

    def handle_of_descriptor(fd: int) -> int:
        raise OSError(0, "Windows handles exist on Windows only")

    class ComPort:
        handle: int
        fd: int

        def __init__(self, name: str, baud: int, data_bits: int, parity: str, stop_bits: int, flow: str,
                     read_wait_ms: int) -> None:
            raise OSError(0, "COM ports exist on Windows only")

        def write(self, data: bytes) -> None:
            raise OSError(0, "COM ports exist on Windows only")

        def read(self, size: int) -> bytes:
            raise OSError(0, "COM ports exist on Windows only")

        def discard_input(self) -> None:
            raise OSError(0, "COM ports exist on Windows only")

        def close(self) -> None:
            raise OSError(0, "COM ports exist on Windows only")
