"""The Python module against the real library, with pseudo-terminals as ports.

Run by CTest with KESTRIN_LIBRARY naming the library of the build and
PYTHONPATH holding python/.
"""

import os
import re
import shutil
import signal
import socket
import stat
import subprocess
import sys
import threading
import time

import pytest
import serial
import serial.serialposix

import kestrin

PACKAGE_SOURCE = os.path.dirname(kestrin.__file__)
# The build's files made from cmake/KestrinAbi.cmake (the C header among them).
GENERATED_DIR = os.environ["KESTRIN_GENERATED_DIR"]


# ---- Polling a port ----------------------------------------------------------------


class TestPoll:
    def test_reply_already_waiting_matches_and_leaves_what_follows(self, pty_port):
        pty_port.device_sends(b"OK\r\nMORE")
        assert kestrin.poll(pty_port.slave, b"OK\r\n", 1000) is True
        assert pty_port.host_reads_rest() == b"MORE"

    def test_reply_arriving_later_matches_while_other_threads_run(self, pty_port):
        # The device answers from another Python thread while poll() waits
        # in the library, which it can only do if the call lets go of the GIL.
        sender = threading.Timer(0.2, pty_port.device_sends, args=(b"READY",))
        sender.start()
        try:
            assert kestrin.poll(pty_port.slave, b"READY", 3000) is True
        finally:
            sender.join()

    def test_wrong_reply_is_false_after_one_attempt_with_no_budget(self, pty_port):
        pty_port.device_sends(b"NOXY")
        assert kestrin.poll(pty_port.slave, b"OK", 0) is False
        assert pty_port.host_reads_rest() == b"XY"

    def test_later_attempt_can_match_after_a_wrong_one(self, pty_port):
        pty_port.device_sends(b"xxOK")
        assert kestrin.poll(pty_port.slave, b"OK", 2000) is True

    def test_longest_reply_matches(self, pty_port):
        reply = bytes(range(1, kestrin.MAX_EXPECTED + 1))
        pty_port.device_sends(reply)
        assert kestrin.poll(pty_port.slave, reply, 1000) is True

    def test_bytearray_and_memoryview_are_accepted_and_left_unchanged(self, pty_port):
        expected = bytearray(b"\x00\xffZ")
        pty_port.device_sends(b"\x00\xffZ\x00\xffZ")
        assert kestrin.poll(pty_port.slave, expected, 1000) is True
        assert kestrin.poll(pty_port.slave, memoryview(expected), 1000) is True
        assert expected == bytearray(b"\x00\xffZ")

    def test_pyserial_port(self, pty_port):
        with serial.serialposix.VTIMESerial(pty_port.path, 115200, timeout=0.1) as port:
            pty_port.device_sends(b"PONG")
            assert kestrin.poll(port, b"PONG", 1000) is True

    def test_plain_pyserial_port_opened_non_blocking(self, pty_port):
        with serial.Serial(pty_port.path, 115200, timeout=0.1) as port:
            pty_port.device_sends(b"PONG")
            assert kestrin.poll(port, b"PONG", 1000) is True

    def test_file_object(self, pty_port):
        with os.fdopen(os.dup(pty_port.slave), "rb", buffering=0) as port:
            pty_port.device_sends(b"HI")
            assert kestrin.poll(port, b"HI", 1000) is True


class TestIdentity:
    def test_version_is_1_0(self):
        assert kestrin.version() == kestrin._abi.MODULE_VERSION == 0x01000000

    def test_about_names_the_module_and_its_version(self):
        text = kestrin.about()
        lines = text.split("\n")
        assert lines[:2] == ["Name:\t\tXMODEM", "Version:\t1.0.0.00"]
        assert re.fullmatch(r"Date:\t\t[A-Z][a-z]{2} [ \d]\d \d{4} \(\d\d:\d\d:\d\d\)", lines[2])
        assert lines[3:] == ["", "Note:\t\t", ""]
        assert kestrin.about() == text


# ---- Bad arguments: refused before the library is called ---------------------------------


@pytest.mark.usefixtures("no_library_calls")
class TestBadArguments:
    @pytest.mark.parametrize(
        "expected, error, message",
        [
            ("OK", TypeError, "not str"),
            ([0x4F, 0x4B], TypeError, "not list"),
            (None, TypeError, "not NoneType"),
            (b"", ValueError, "at least one byte"),
            (bytes(kestrin.MAX_EXPECTED + 1), ValueError, "21 bytes"),
        ],
    )
    def test_expected(self, pty_port, expected, error, message):
        with pytest.raises(error, match=message):
            kestrin.poll(pty_port.slave, expected, 100)

    @pytest.mark.parametrize(
        "timeout, error",
        [(1.5, TypeError), (True, TypeError), ("100", TypeError), (2**31, ValueError), (-(2**31) - 1, ValueError)],
    )
    def test_timeout(self, pty_port, timeout, error):
        with pytest.raises(error, match="timeout_ms"):
            kestrin.poll(pty_port.slave, b"OK", timeout)

    @pytest.mark.parametrize("port", [None, "/dev/ttyS0", 3.0, True, object()])
    def test_port_of_wrong_type(self, port):
        with pytest.raises(TypeError, match="port"):
            kestrin.poll(port, b"OK", 100)

    @pytest.mark.parametrize("port", [-1, 2**31])
    def test_number_that_is_no_descriptor(self, port):
        with pytest.raises(ValueError, match="not a file descriptor"):
            kestrin.poll(port, b"OK", 100)

    def test_closed_descriptor(self, pty_port):
        fd = os.dup(pty_port.slave)
        os.close(fd)
        with pytest.raises(ValueError, match="closed"):
            kestrin.poll(fd, b"OK", 100)

    def test_closed_pyserial_port(self, pty_port):
        port = serial.Serial(pty_port.path, 115200, timeout=0.1)
        port.close()
        with pytest.raises(ValueError, match="closed"):
            kestrin.poll(port, b"OK", 100)

    def test_closed_file_object(self, pty_port):
        port = os.fdopen(os.dup(pty_port.slave), "rb", buffering=0)
        port.close()
        with pytest.raises(ValueError, match="closed"):
            kestrin.poll(port, b"OK", 100)

    def test_pyserial_url_port_without_a_handle(self):
        with serial.serial_for_url("loop://", timeout=0.1) as port:
            with pytest.raises(TypeError, match="no operating-system handle"):
                kestrin.poll(port, b"OK", 100)

    def test_pyserial_port_on_windows_is_refused(self, pty_port, monkeypatch):
        # pyserial opens Windows ports for overlapped I/O, which synchronous
        # reads without an OVERLAPPED structure must not be given.
        monkeypatch.setattr(kestrin, "_WINDOWS", True)
        with serial.Serial(pty_port.path, 115200, timeout=0.1) as port:
            with pytest.raises(ValueError, match="overlapped"):
                kestrin.poll(port, b"OK", 100)


# ---- Names and finding the library -----------------------------------------------------------


def header_names(width):
    """The names the C header gives hosts on Windows of that width."""
    with open(os.path.join(GENERATED_DIR, "include", "kestrin.h")) as header:
        text = header.read()
    branch = text.split("#if defined(_WIN64)")[1].split("#elif defined(_WIN32)")
    section = branch[0] if width == 64 else branch[1].split("#else")[0]
    return set(re.findall(r'^#define KESTRIN_\w+_NAME "([^"]+)"', section, flags=re.M))


class TestExportNames:
    @pytest.mark.parametrize("width", [32, 64])
    def test_windows_names_are_the_headers(self, width):
        names = kestrin.export_names(windows=True, pointer_bits=width)
        assert set(names.values()) == header_names(width)

    def test_windows_widths_differ_in_the_pointer_functions(self):
        narrow = kestrin.export_names(windows=True, pointer_bits=32)
        wide = kestrin.export_names(windows=True, pointer_bits=64)
        assert narrow["version"] == wide["version"]
        assert narrow["poll"] != wide["poll"] and narrow["about"] != wide["about"]

    def test_linux_names_are_the_library_exports(self, library):
        symbols = subprocess.run(["nm", "-D", "--defined-only", library], capture_output=True, text=True, check=True)
        exported = {line.split()[-1].split("@")[0] for line in symbols.stdout.splitlines() if " A " not in line}
        assert set(kestrin.export_names(windows=False).values()) == exported


def run_module(package_parent, env_library=None, extra_path=None):
    """Imports `kestrin` from package_parent in a fresh interpreter; returns
    (exit status, library path or error text)."""
    env = {k: v for k, v in os.environ.items() if k not in ("KESTRIN_LIBRARY", "LD_LIBRARY_PATH")}
    env["PYTHONPATH"] = package_parent
    env["PYTHONDONTWRITEBYTECODE"] = "1"
    if env_library is not None:
        env["KESTRIN_LIBRARY"] = env_library
    probe = (
        "import kestrin\n"
        "try:\n"
        "    print(kestrin.library_path(), kestrin.version())\n"
        "except kestrin.LibraryNotFoundError as e:\n"
        "    print('NOTFOUND', e)\n"
    )
    run = subprocess.run([sys.executable, "-c", probe], env=env, capture_output=True, text=True, check=True)
    return run.stdout.strip()


@pytest.fixture
def library():
    return os.environ["KESTRIN_LIBRARY"]


@pytest.fixture
def package_copy(tmp_path):
    """A copy of the package, outside any installed tree."""
    package = tmp_path / "site" / "kestrin"
    shutil.copytree(PACKAGE_SOURCE, package, ignore=shutil.ignore_patterns("__pycache__", "_location.py"))
    return package


class TestFindingTheLibrary:
    def test_beside_the_module(self, package_copy, library):
        shutil.copy(library, package_copy / "libkestrin.so.1")
        assert run_module(str(package_copy.parent)) == f"{package_copy / 'libkestrin.so.1'} {kestrin._abi.MODULE_VERSION}"

    def test_where_the_install_step_put_it(self, package_copy, library):
        # The layout of an installed tree: <prefix>/lib and the package under it.
        libdir = package_copy.parent.parent / "lib"
        libdir.mkdir()
        shutil.copy(library, libdir / "libkestrin.so.1")
        (package_copy / "_location.py").write_text('LIBRARY = "../../lib/libkestrin.so.1"\n')
        assert run_module(str(package_copy.parent)) == f"{libdir / 'libkestrin.so.1'} {kestrin._abi.MODULE_VERSION}"

    def test_environment_variable_comes_first(self, package_copy, library, tmp_path):
        shutil.copy(library, package_copy / "libkestrin.so.1")
        chosen = tmp_path / "chosen.so"
        shutil.copy(library, chosen)
        assert run_module(str(package_copy.parent), env_library=str(chosen)) == f"{chosen} {kestrin._abi.MODULE_VERSION}"

    def test_environment_variable_naming_no_file_is_an_error_not_a_fallback(self, package_copy, library):
        shutil.copy(library, package_copy / "libkestrin.so.1")
        out = run_module(str(package_copy.parent), env_library="/nonexistent/libkestrin.so.1")
        assert out.startswith("NOTFOUND") and "KESTRIN_LIBRARY" in out

    def test_environment_variable_naming_something_else(self, fresh_module, monkeypatch):
        monkeypatch.setenv("KESTRIN_LIBRARY", kestrin.__file__)
        with pytest.raises(kestrin.LibraryNotFoundError, match="does not load"):
            fresh_module.version()

    def test_a_library_without_the_exports_is_refused(self, fresh_module, monkeypatch):
        import _ctypes  # a shared library that is certainly loadable here

        monkeypatch.setenv("KESTRIN_LIBRARY", _ctypes.__file__)
        with pytest.raises(kestrin.LibraryNotFoundError, match="is not the Kestrin library"):
            fresh_module.version()

    def test_nothing_found_lists_the_places_tried(self, package_copy):
        import ctypes.util

        if ctypes.util.find_library("kestrin"):
            pytest.skip("a Kestrin library is installed system-wide and would be found")
        out = run_module(str(package_copy.parent))
        assert out.startswith("NOTFOUND")
        assert str(package_copy / "libkestrin.so.1") in out and "system loader" in out


# ---- What cannot be a serial line: refused before the library is called ------------------


@pytest.mark.usefixtures("no_library_calls")
class TestNotASerialLine:
    def test_regular_file_is_refused_and_its_bytes_left_alone(self, tmp_path):
        path = tmp_path / "reply.bin"
        path.write_bytes(b"OKOK")
        with open(path, "rb") as file:
            with pytest.raises(ValueError, match="regular file, not a serial line"):
                kestrin.poll(file, b"OK", 100)
            with pytest.raises(ValueError, match="regular file"):
                kestrin.poll(file.fileno(), b"OK", 100)
            assert file.tell() == 0 and file.read() == b"OKOK"

    def test_directory_is_refused(self, tmp_path):
        fd = os.open(tmp_path, os.O_RDONLY | os.O_DIRECTORY)
        try:
            with pytest.raises(ValueError, match="directory, not a serial line"):
                kestrin.poll(fd, b"OK", 100)
        finally:
            os.close(fd)

    def test_block_device_is_refused(self, monkeypatch, pty_port):
        # No block device is certain to be readable here: the descriptor's
        # kind is what is judged, so a terminal poses as one.
        real_fstat = os.fstat

        def fstat(fd):
            result = real_fstat(fd)
            return os.stat_result((stat.S_IFBLK | 0o660,) + tuple(result)[1:])

        monkeypatch.setattr(os, "fstat", fstat)
        with pytest.raises(ValueError, match="block device"):
            kestrin.poll(pty_port.slave, b"OK", 100)

    def test_character_device_that_is_no_terminal_is_refused(self):
        # Every read of /dev/null ends at once with nothing: a poll would
        # only wait out its idle limit.
        fd = os.open("/dev/null", os.O_RDONLY)
        try:
            with pytest.raises(ValueError, match="character device that is not a terminal"):
                kestrin.poll(fd, b"OK", 100)
        finally:
            os.close(fd)

    def test_write_end_of_a_pipe_is_refused(self):
        readable, writable = os.pipe()
        try:
            with pytest.raises(ValueError, match="not open for reading"):
                kestrin.poll(writable, b"OK", 100)
        finally:
            os.close(readable)
            os.close(writable)

    def test_terminal_open_for_writing_only_is_refused(self, pty_port):
        fd = os.open(pty_port.path, os.O_WRONLY | os.O_NOCTTY)
        try:
            with pytest.raises(ValueError, match="not open for reading"):
                kestrin.poll(fd, b"OK", 100)
        finally:
            os.close(fd)

    def test_descriptor_open_as_a_path_only_is_refused(self, pty_port):
        fd = os.open(pty_port.path, os.O_PATH)
        try:
            with pytest.raises(ValueError, match="as a path only"):
                kestrin.poll(fd, b"OK", 100)
        finally:
            os.close(fd)

    def test_windows_file_on_disk_is_refused(self, monkeypatch):
        monkeypatch.setattr(kestrin, "_WINDOWS", True)
        monkeypatch.setattr(kestrin, "_windows_file_type", lambda handle: kestrin._FILE_TYPE_DISK)
        with pytest.raises(ValueError, match="file on a disk"):
            kestrin.poll(1234, b"OK", 100)

    def test_windows_character_device_that_is_no_serial_port_is_refused(self, monkeypatch):
        monkeypatch.setattr(kestrin, "_WINDOWS", True)
        monkeypatch.setattr(kestrin, "_windows_file_type", lambda handle: kestrin._FILE_TYPE_CHAR)
        monkeypatch.setattr(kestrin, "_windows_is_comm_device", lambda handle: False)
        with pytest.raises(ValueError, match="character device that is not a serial port"):
            kestrin.poll(1234, b"OK", 100)

    def test_windows_serial_port_passes(self, monkeypatch):
        monkeypatch.setattr(kestrin, "_WINDOWS", True)
        monkeypatch.setattr(kestrin, "_windows_file_type", lambda handle: kestrin._FILE_TYPE_CHAR)
        monkeypatch.setattr(kestrin, "_windows_is_comm_device", lambda handle: True)
        kestrin._check_port(1234)

    def test_windows_closed_handle_is_refused(self, monkeypatch):
        monkeypatch.setattr(kestrin, "_WINDOWS", True)
        monkeypatch.setattr(kestrin, "_windows_file_type", lambda handle: None)
        with pytest.raises(ValueError, match="not an open handle"):
            kestrin.poll(1234, b"OK", 100)


class TestLinesThatAreNotTerminals:
    """A socket (a network serial bridge) and a pipe carry a serial line too."""

    def test_socket(self):
        host, device = socket.socketpair()
        with host, device:
            device.sendall(b"PONG")
            assert kestrin.poll(host.fileno(), b"PONG", 1000) is True

    def test_terminal_that_isatty_does_not_recognise(self, pty_port, monkeypatch):
        # A serial port that a test double such as umockdev emulates answers
        # tcgetattr, as the library asks, but not isatty().
        monkeypatch.setattr(os, "isatty", lambda fd: False)
        pty_port.device_sends(b"PONG")
        assert kestrin.poll(pty_port.slave, b"PONG", 1000) is True

    @pytest.mark.parametrize("budget", [-(2**31), -1, 0, 2**31 - 1])
    def test_every_budget_the_library_takes(self, pty_port, budget):
        pty_port.device_sends(b"PONG")
        assert kestrin.poll(pty_port.slave, b"PONG", budget) is True

    def test_pipe(self):
        readable, writable = os.pipe()
        try:
            os.write(writable, b"PONG")
            assert kestrin.poll(readable, b"PONG", 1000) is True
        finally:
            os.close(readable)
            os.close(writable)


# ---- Ctrl-C while a poll waits ---------------------------------------------------------------

# A poll that would wait a minute on a silent terminal, in a process of its own.
LONG_POLL = """
import os, sys, termios, time, tty
import kestrin
master, slave = os.openpty()
tty.setraw(slave)
settings = termios.tcgetattr(slave)
settings[6][termios.VMIN], settings[6][termios.VTIME] = 0, 1
termios.tcsetattr(slave, termios.TCSANOW, settings)
kestrin.version()
print("polling", flush=True)
try:
    kestrin.poll(slave, b"NEVER", 60000)
    print("returned")
except KeyboardInterrupt:
    print("interrupted", flush=True)
"""


class TestInterrupt:
    def test_ctrl_c_ends_a_long_poll_with_keyboard_interrupt_at_once(self):
        child = subprocess.Popen([sys.executable, "-c", LONG_POLL], stdout=subprocess.PIPE, text=True)
        try:
            assert child.stdout.readline() == "polling\n"
            time.sleep(0.3)  # inside the library's call by now
            interrupted = time.monotonic()
            child.send_signal(signal.SIGINT)
            # Generous: the wait is cut within a tenth of a second.
            out, _ = child.communicate(timeout=3)
            ended = time.monotonic() - interrupted
        finally:
            child.kill()
        assert out == "interrupted\n"
        assert ended < 3

    def test_interrupted_poll_runs_on_its_own_copy_of_the_port(self, pty_port):
        before = set(os.listdir("/proc/self/fd"))
        threading.Timer(0.3, os.kill, args=(os.getpid(), signal.SIGINT)).start()
        with pytest.raises(KeyboardInterrupt):
            kestrin.poll(pty_port.slave, b"LATE", 30000)
        # The host closes its port; the number goes to a new pipe, which the
        # poll still running must not read.
        os.close(pty_port.slave)
        readable, writable = os.pipe()
        try:
            os.set_blocking(readable, False)
            os.write(writable, b"LATE")
            time.sleep(0.3)
            try:
                left = os.read(readable, 16)
            except BlockingIOError:
                left = b""
            assert left == b"LATE"
        finally:
            os.close(readable)
            os.close(writable)
        # It still reads the terminal, ends on its match, and lets go of its copy.
        pty_port.device_sends(b"LATE")
        deadline = time.monotonic() + 5
        while any(t.name == "kestrin.poll" for t in threading.enumerate()) and time.monotonic() < deadline:
            time.sleep(0.05)
        assert not any(t.name == "kestrin.poll" for t in threading.enumerate())
        assert set(os.listdir("/proc/self/fd")) <= before

    def test_poll_from_another_thread_calls_the_library_directly(self, pty_port):
        results = []
        pty_port.device_sends(b"PONG")
        worker = threading.Thread(target=lambda: results.append(kestrin.poll(pty_port.slave, b"PONG", 1000)))
        worker.start()
        worker.join(10)
        assert results == [True]


# ---- The package's own facts ------------------------------------------------------------------


class TestPackage:
    def test_version_is_the_packages(self):
        major, minor, patch, tweak = kestrin._abi.VERSION.split(".")
        expected = f"{major}.{minor}.{patch}" + ("" if tweak == "0" else f".{tweak}")
        assert kestrin.__version__ == kestrin._abi.PACKAGE_VERSION == expected

    @pytest.mark.parametrize("module", ["kestrin", "kestrin.testing", "kestrin.bench"])
    def test_public_names_have_type_hints_that_resolve(self, module):
        import importlib
        import inspect
        import typing

        loaded = importlib.import_module(module)
        checked = 0
        for name in loaded.__all__:
            value = getattr(loaded, name)
            if inspect.isfunction(value):
                hints = typing.get_type_hints(value)
                assert "return" in hints, f"{module}.{name} has no return type"
                checked += 1
        assert checked >= 1

    def test_marked_as_typed(self):
        assert os.path.isfile(os.path.join(PACKAGE_SOURCE, "py.typed"))
