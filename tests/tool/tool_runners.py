"""Where tool_test.py's scenarios run: how to start kestrin, and how to give
it a device, on each platform.

  LinuxRunner   the Linux build, natively ("native") or through qemu-user
                ("qemu"); a device is a pseudo-terminal, given by its path
  WineRunner    kestrin.exe under Wine ("wine"); a device is a
                pseudo-terminal linked into the prefix as a COM port

Either way the device is scripted_device.Device, played from Python on the
terminal's master side, so one script drives every runner.

Native runs can also see the modem lines the tool drives: see
LinuxRunner.modem_lines() and ModemLines.

USB serial adapters (UsbAdapter) are faked where a runner can: umockdev
natively, the prefix's registry under Wine. A scenario asks for them with
runner.usb_bed(ADAPTER...), a UsbBed that runs kestrin where they are seen
and plugs, unplugs and plays them; identical_adapters() and dual_adapter()
make the usual kinds. Python 3 standard library only (umockdev's bindings
are used by umockdev_testbed.py, in a Python of their own).
"""

import contextlib
import ctypes.util
import itertools
import json
import os
import re
import select
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import termios
import threading
import time

from scripted_device import Device

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "windows"))
import wine_com  # noqa: E402

NATIVE, QEMU, WINE = "native", "qemu", "wine"
LINUX = (NATIVE, QEMU)
EVERY = (NATIVE, QEMU, WINE)


class Result:
    """A finished kestrin run: .status, .stdout, .stderr (text, lines ending "\\n")."""

    def __init__(self, status, stdout, stderr):
        self.status, self.stdout, self.stderr = status, stdout, stderr

    @property
    def output(self):
        return self.stdout + self.stderr

    def __repr__(self):
        return f"<kestrin exited {self.status}: stdout {self.stdout!r}, stderr {self.stderr!r}>"


class Runner:
    """What every runner offers a scenario; see LinuxRunner and WineRunner."""

    kind = None
    # Each as kestrin prints or takes it on this platform.
    missing_port = None        # a port that is not there
    not_found = None           # the system's words for a file that is not there
    example_port = None        # the port the help's examples name
    library = None             # the library the tool uses, as it names it
    library_args = []          # what tells the tool where its library is
    missing_library = None     # a library path that is not there
    foreign_library = None     # a library without the tool's exports
    poll_export = None         # pollUart's exported name
    subcommands = ("poll", "about", "ports", "monitor")
    any_rate = "250000"        # a rate without a B constant or a standard CBR_ value

    def __init__(self):
        self.runs = []

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        pass

    def run(self, *args, timeout=30):
        """Runs `kestrin ARGS` to its end: a Result."""
        return self.start(*args).wait(timeout)

    def _started(self, run):
        self.runs.append(run)
        return run

    def stop_all(self):
        """Ends every kestrin a scenario started and left running (it failed
        before it waited): none may outlive it, spinning on a port."""
        runs, self.runs = self.runs, []
        for run in runs:
            run.stop()

    def poll(self, port, *args, timeout=30):
        return self.run("poll", port, *self.library_args, *args, timeout=timeout)

    def start_poll(self, port, *args, **output):
        return self.start("poll", port, *self.library_args, *args, **output)

    @contextlib.contextmanager
    def device(self, script="", name="dev"):
        """A scripted device (see scripted_device.py) for the length of the
        with block; .port is what to give the tool. The block fails if the
        device waited in vain for bytes its script expects."""
        device = Device(name, script)
        claim = None
        try:
            claim = self._claim(device)
            device.start()
            yield device
        finally:
            device.finish()
            if claim is not None:
                claim.release()
            device.close()
        if device.failure:
            raise AssertionError(f"device on {device.port}: {device.failure}")

    def _claim(self, device):
        return None

    def file_name(self, path):
        """A Linux file's name as the tool takes it."""
        return path

    @contextlib.contextmanager
    def usb_bed(self, *adapters):
        """A context in which the tool sees the given USB serial adapters
        (UsbAdapter), each plugged in at the start, and others plugged in
        later: a UsbBed. The block fails when a device behind one waited in
        vain for bytes its script expects."""
        bed = self._usb_bed()
        try:
            bed.plug_all(adapters)
            yield bed
        except BaseException:
            bed.close(check=False)
            raise
        bed.close()

    def _usb_bed(self):
        raise NotImplementedError(f"no USB adapters can be faked under {self.kind}")

    def hold(self, device):
        """Gives the device's port settings nothing like the tool's, as
        another program would have left them (here a rate of 4800 baud);
        returns them, to be compared with kept() after the tool has run."""
        attributes = termios.tcgetattr(device.slave)
        attributes[4] = attributes[5] = termios.B4800
        termios.tcsetattr(device.slave, termios.TCSANOW, attributes)
        return self.kept(device.settings())

    def kept(self, attributes):
        """The part of a port's termios settings the tool must put back."""
        return attributes


class LinuxRunner(Runner):
    """The Linux kestrin, through `emulator` (e.g. "qemu-aarch64 -L /") when
    it is built for another processor."""

    missing_port = "/dev/kestrin-no-such-port"
    not_found = "No such file"
    example_port = "/dev/tty"
    missing_library = "/nonexistent/libkestrin.so"
    poll_export = "_Z8pollUartPviPhi"
    subcommands = ("poll", "about", "ports", "monitor", "sim", "demo")

    def __init__(self, kestrin, library, emulator=()):
        super().__init__()
        self.kestrin, self.library, self.emulator = kestrin, library, list(emulator)
        self.kind = QEMU if self.emulator else NATIVE
        self.library_args = ["--library", library]
        self.foreign_library = ctypes.util.find_library("m")
        # qemu-user passes no termios2 on to the kernel, so there a port
        # takes only the standard rates.
        self.any_rate = "230400" if self.emulator else "250000"

    def _usb_bed(self):
        # umockdev's preload shows the tool a sysfs and /dev of its own.
        return LinuxUsbBed(self)

    @contextlib.contextmanager
    def modem_lines(self, shim=None):
        """A ModemLines for the length of the with block: the native tool run
        with pseudo-terminals that have modem lines, and their changes as it
        drives them. `shim` is the preload library, by default what
        KESTRIN_MODEM_LINES_SHIM names (CMake sets it on the native
        scenarios). Native only: under qemu the tool's ioctl() never reaches
        the shim.

            with self.runner.modem_lines() as lines, self.device("expect:PING send:PONG") as dev:
                # The device boots when DTR comes back on, and says so.
                lines.on_change(lambda c: c.port == dev.slave_path and c.rose("dtr")
                                and os.write(dev.master, b"BOOT\\r\\n"))
                result = lines.poll(dev.port, "--pulse", "dtr=100ms", "-s", "PING", "-e", "BOOT")
                low = lines.changes(dev.slave_path)   # [DTR off, DTR on] here
                self.assertAlmostEqual(low[1].time - low[0].time, 0.1, delta=0.05)
        """
        if self.kind != NATIVE:
            raise NotImplementedError(f"no modem lines under {self.kind}: the shim needs the native tool")
        shim = shim or os.environ.get("KESTRIN_MODEM_LINES_SHIM")
        if not shim or not os.path.exists(shim):
            raise AssertionError(f"no modem lines shim at {shim!r}: set KESTRIN_MODEM_LINES_SHIM")
        lines = ModemLines(self, shim)
        try:
            yield lines
        finally:
            lines.close()

    def command(self, program, *args):
        """The argument list that runs `program`, through the emulator if there is one."""
        return [*self.emulator, program, *args]

    def start(self, *args, stdout=subprocess.PIPE, stderr=subprocess.PIPE):
        return self._started(LinuxRun(subprocess.Popen(self.command(self.kestrin, *args), stdout=stdout,
                                                       stderr=stderr, stdin=subprocess.DEVNULL, text=True)))

    def hold(self, device):
        # Everything a terminal can be set to, not only the DCB's part:
        # canonical, echoing, 4800 baud, reads that wait for a byte.
        attributes = termios.tcgetattr(device.slave)
        attributes[0] |= termios.ICRNL
        attributes[1] |= termios.OPOST
        attributes[3] |= termios.ICANON | termios.ECHO | termios.ISIG
        attributes[4] = attributes[5] = termios.B4800
        attributes[6][termios.VMIN] = 1
        attributes[6][termios.VTIME] = 0
        termios.tcsetattr(device.slave, termios.TCSANOW, attributes)
        return self.kept(device.settings())


class LinuxRun:
    """A kestrin process while it runs."""

    def __init__(self, process):
        self.process = process

    def interrupt(self, signal_number=signal.SIGINT):
        self.process.send_signal(signal_number)

    def wait_until_started(self, device):
        """Once Popen returns, the tool runs (see WineRun's)."""
        return True

    def running(self):
        return self.process.poll() is None

    def stop(self):
        if self.running():
            self.process.kill()
            self.process.communicate()

    def read_line(self, timeout=30):
        """The next line of its stdout, given as a pipe ("" at its end)."""
        ready, _, _ = select.select([self.process.stdout], [], [], timeout)
        return self.process.stdout.readline() if ready else ""

    def close_output(self):
        """Closes the reading end of its stdout, as `| head -1` does."""
        self.process.stdout.close()

    def wait(self, timeout=30):
        if self.process.stdout is not None and self.process.stdout.closed:
            self.process.stdout = None
        try:
            out, err = self.process.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            out, err = self.process.communicate()
            raise AssertionError(f"kestrin still running after {timeout} s: {out!r} {err!r}")
        return Result(self.process.returncode, out or "", err or "")


class LineChange:
    """One change of a pseudo-terminal's modem lines, as modem_lines_shim.c
    records it: .time (CLOCK_MONOTONIC seconds, as time.monotonic()), .pid of
    the process that made it, .port (/dev/pts/N, a device's slave_path),
    .request (TIOCMSET, TIOCMBIS or TIOCMBIC), and the levels after it, .dtr
    and .rts (True for on)."""

    def __init__(self, line, before):
        time, pid, self.port, self.request, dtr, rts = line.split()
        self.time, self.pid = float(time), int(pid)
        self.dtr, self.rts = dtr == "dtr=on", rts == "rts=on"
        self._before = before

    def rose(self, line):
        """Whether `line` ("dtr" or "rts") went from off to on here."""
        return getattr(self, line) and not self._before[line]

    def fell(self, line):
        """Whether `line` went from on to off here."""
        return not getattr(self, line) and self._before[line]

    def __repr__(self):
        return (f"<{self.time:.6f} pid {self.pid} {self.port} {self.request} "
                f"dtr={'on' if self.dtr else 'off'} rts={'on' if self.rts else 'off'}>")


class ModemLines:
    """The native kestrin with modem_lines_shim.c preloaded: pseudo-terminals
    have DTR and RTS, on when each kestrin process starts (as a port's
    usually are), and every change the tool makes is read here as it
    happens. Made by LinuxRunner.modem_lines().

      run(ARGS), start(ARGS), poll(PORT, ARGS), start_poll(PORT, ARGS)
          as the runner's, with the shim
      changes(port=None)     the changes so far (of one port), in order
      wait_for(test, timeout) the first change so far or to come for which
          test(change) holds; AssertionError after `timeout` seconds
      on_change(callback)    callback(change) for each change from now on,
          on the reader's thread, e.g. to make a device answer an edge
    """

    def __init__(self, runner, shim):
        self.runner = runner
        self._folder = tempfile.mkdtemp(prefix="kestrin-lines-")
        # A FIFO, read as records come; held open for writing too, so that
        # it never reads as ended between two kestrin runs.
        self.record = os.path.join(self._folder, "changes")
        os.mkfifo(self.record)
        self._fd = os.open(self.record, os.O_RDWR | os.O_NONBLOCK)
        self.env = dict(os.environ, LD_PRELOAD=shim, KESTRIN_MODEM_LINES_LOG=self.record)
        # A sanitizer's runtime would otherwise insist on coming first.
        self.env["ASAN_OPTIONS"] = ":".join(filter(None, [self.env.get("ASAN_OPTIONS"), "verify_asan_link_order=0"]))
        self.library_args = runner.library_args
        self._changes, self._callbacks = [], []
        self._levels = {}
        self._ready = threading.Condition()
        self._stop_read, self._stop_write = os.pipe()
        self._reader = threading.Thread(target=self._read, name="modem-lines", daemon=True)
        self._reader.start()

    def start(self, *args, stdout=subprocess.PIPE, stderr=subprocess.PIPE):
        return self.runner._started(LinuxRun(subprocess.Popen(
            self.runner.command(self.runner.kestrin, *args), env=self.env, stdout=stdout, stderr=stderr,
            stdin=subprocess.DEVNULL, text=True)))

    def run(self, *args, timeout=30):
        return self.start(*args).wait(timeout)

    def poll(self, port, *args, timeout=30):
        return self.run("poll", port, *self.library_args, *args, timeout=timeout)

    def start_poll(self, port, *args, **output):
        return self.start("poll", port, *self.library_args, *args, **output)

    def changes(self, port=None):
        with self._ready:
            return [c for c in self._changes if port is None or c.port == port]

    def wait_for(self, test, timeout=10):
        with self._ready:
            found = []

            def seen():
                found[:] = [c for c in self._changes if test(c)][:1]
                return found

            if not self._ready.wait_for(seen, timeout):
                raise AssertionError(f"no such modem line change within {timeout} s: {self._changes}")
            return found[0]

    def on_change(self, callback):
        with self._ready:
            self._callbacks.append(callback)

    def close(self):
        os.write(self._stop_write, b"x")
        self._reader.join(10)
        for fd in (self._fd, self._stop_read, self._stop_write):
            os.close(fd)
        shutil.rmtree(self._folder, ignore_errors=True)

    def _read(self):
        pending = b""
        while True:
            ready, _, _ = select.select([self._fd, self._stop_read], [], [])
            if self._stop_read in ready:
                return
            try:
                pending += os.read(self._fd, 65536)
            except BlockingIOError:
                continue
            *lines, pending = pending.split(b"\n")
            for line in lines:
                self._take(line.decode())

    def _take(self, line):
        # Levels start on in each process, for each terminal.
        fields = line.split()
        key = (fields[1], fields[2])
        change = LineChange(line, self._levels.get(key, {"dtr": True, "rts": True}))
        self._levels[key] = {"dtr": change.dtr, "rts": change.rts}
        with self._ready:
            self._changes.append(change)
            callbacks = list(self._callbacks)
            self._ready.notify_all()
        for callback in callbacks:
            callback(change)


class WineRunner(Runner):
    """kestrin.exe under Wine in `prefix`, with kestrin.dll beside it."""

    kind = WINE
    missing_port = "NOSUCHPORT"
    not_found = "(error 2)"
    example_port = "COM3"
    missing_library = "C:\\nowhere\\kestrin.dll"
    foreign_library = "C:\\windows\\system32\\kernel32.dll"

    def __init__(self, exe, prefix, wine="wine"):
        super().__init__()
        self.exe, self.prefix, self.wine = exe, os.path.abspath(prefix), wine
        self.env = wine_com.wine_environment(self.prefix)
        # How Wine shows a Linux path to a Windows program.
        self.library = "Z:" + os.path.join(os.path.dirname(os.path.abspath(exe)), "kestrin.dll").replace("/", "\\")
        self.poll_export = "?pollUart@@YAHPEAXHPEAEH@Z" if pe_machine(exe) == 0x8664 else "?pollUart@@YAHPAXHPAEH@Z"
        self._keep_alive = None

    def __enter__(self):
        wine_com.ensure_prefix(self.prefix)
        self._keep_alive = wine_com.KeepAlive(self.prefix, self.wine)
        return self

    def __exit__(self, *exc):
        self._keep_alive.stop()

    def run(self, *args, timeout=30):
        for _ in range(3):
            result = self.start(*args).wait(timeout)
            # Wine could not start the program at all: it never ran.
            if result.status == 0 or not any(failure in result.output for failure in wine_com.LAUNCH_FAILURES):
                break
        return result

    def start(self, *args, stdout=None, stderr=None):
        return self._started(WineRun([self.wine, self.exe, *args], self.env, stdout, stderr))

    def run_other(self, *argv, timeout=60):
        """Another Windows program in the prefix (reg, regedit): a Result."""
        return WineRun([self.wine, *argv], self.env).wait(timeout)

    def _claim(self, device):
        claim = wine_com.PortClaim(self.prefix, device.slave_path)
        device.port = claim.name
        return claim

    def file_name(self, path):
        return "Z:" + path.replace("/", "\\")

    def _usb_bed(self):
        # SetupAPI lists what the prefix's registry says is plugged in.
        return WineUsbBed(self)

    def _registry(self, path, lines):
        """Imports registry lines into the prefix."""
        # In UTF-16, as regedit writes it: hex(7) data are then UTF-16 too.
        with open(path, "w", encoding="utf-16") as reg:
            reg.write("\r\n".join(["Windows Registry Editor Version 5.00", "", *lines, ""]))
        result = self.run_other("regedit", "/S", self.file_name(path))
        if result.status != 0:
            raise AssertionError(f"regedit could not import {lines}: {result}")

    def kept(self, attributes):
        # Wine's SetCommState makes the rest of the terminal's settings up.
        return wine_com.dcb_part(attributes)


class WineRun:
    """A Windows program under Wine while it runs. Its own session, so that
    Ctrl-C and a timeout reach the whole process group."""

    def __init__(self, argv, env, stdout=None, stderr=None):
        # Captured in files unless the scenario gives somewhere else (a pipe
        # it closes, /dev/full).
        self._out = tempfile.TemporaryFile() if stdout is None else None
        self._err = tempfile.TemporaryFile() if stderr is None else None
        self._pipe = stdout == subprocess.PIPE
        self.process = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL,
                                        stdout=self._out if stdout is None else stdout,
                                        stderr=self._err if stderr is None else stderr, start_new_session=True)

    def read_line(self, timeout=30):
        ready, _, _ = select.select([self.process.stdout], [], [], timeout)
        return self.process.stdout.readline().decode(errors="replace").replace("\r\n", "\n") if ready else ""

    def close_output(self):
        self.process.stdout.close()

    def interrupt(self, signal_number=signal.SIGINT):
        """Wine turns SIGINT into a console control event: Ctrl-C. To the
        whole process group, as a terminal does: a 64-bit program runs as a
        child of Wine's start.exe, which passes its exit status on."""
        with contextlib.suppress(ProcessLookupError):
            os.killpg(self.process.pid, signal_number)

    def wait_until_started(self, device, timeout=30):
        """Whether the program came to hold the device's port (returns then).
        Wine starts a program from Linux through start.exe and a process
        handshake of its own; a Ctrl-C during those leaves them hung or the
        program half-made (seen: start.exe waiting for ever on a child stuck
        before its first instruction), which no Windows console shows."""
        deadline = time.monotonic() + timeout
        while self.running() and time.monotonic() < deadline:
            if any(_holds(pid, device.slave_path) for pid in _session(self.process.pid)):
                return True
            time.sleep(0.002)
        return False

    def running(self):
        return self.process.poll() is None

    def stop(self):
        if self.running():
            with contextlib.suppress(ProcessLookupError):
                os.killpg(self.process.pid, signal.SIGKILL)
            self.process.wait()

    def wait(self, timeout=30):
        try:
            status = self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            with contextlib.suppress(ProcessLookupError):
                os.killpg(self.process.pid, signal.SIGKILL)
            self.process.wait()
            raise AssertionError(f"{self.process.args[1]} still running after {timeout} s: {self._read(self._out)!r}")
        return Result(status, self._read(self._out), self._read(self._err))

    @staticmethod
    def _read(log):
        if log is None:
            return ""
        log.seek(0)
        text = log.read().decode(errors="replace").replace("\r\n", "\n")
        log.close()
        return text


def _session(sid):
    """The processes of session `sid`."""
    for entry in os.listdir("/proc"):
        with contextlib.suppress(OSError, ValueError, IndexError):
            with open(f"/proc/{entry}/stat") as stat:
                # After the command's closing parenthesis: state ppid pgrp session.
                if int(stat.read().rsplit(")", 1)[1].split()[3]) == sid:
                    yield int(entry)


def _holds(pid, path):
    with contextlib.suppress(OSError):
        return any(os.readlink(f"/proc/{pid}/fd/{fd}") == path for fd in os.listdir(f"/proc/{pid}/fd"))
    return False


class UsbAdapter:
    """A USB serial adapter for Runner.usb_bed to fake: what it is, where it
    is plugged, and what the device behind its port plays.

      serial      its serial number, or None for an adapter that has none
      place       its socket on the USB tree as Linux names it: "1-1.4" is
                  port 4 of a hub in port 1 of bus 1. Adapters at two places
                  are told apart by their location. Under Wine it only keeps
                  UARTs of one adapter together: each port there has a
                  location of its own, made from its COM number
      interface   None for a single-UART adapter; 0, 1, ... for the UARTs of
                  a multi-UART one, which share its place and serial number
      vendor, product           its ids, four hex digits ("0403", "6001")
      description, manufacturer the names it gives
      script      what the device behind its port plays (scripted_device.py)

    umockdev cannot take a device away entirely: a place keeps the USB
    device first plugged into it, serial number and all.
    """

    def __init__(self, serial="A50285BI", place="1-1", interface=None, vendor="0403", product="6001",
                 description="FT232R USB UART", manufacturer="FTDI", script=""):
        self.serial, self.place, self.interface = serial, place, interface
        self.vendor, self.product = vendor, product
        self.description, self.manufacturer, self.script = description, manufacturer, script

    def __repr__(self):
        return f"<USB {self.vendor}:{self.product} serial {self.serial} at {self.place} interface {self.interface}>"


ADAPTER_SERIALS = ("A50285BI", "A7XQ31ZK", "FT4ZXY12", "AB0LQ7E2")


def identical_adapters(count, **given):
    """`count` adapters of one kind (an FT232R by default), each with a
    serial number and a place of its own: 1-1, 1-2, ..."""
    return [UsbAdapter(serial=serial, place=f"1-{n + 1}", **given)
            for n, serial in enumerate(ADAPTER_SERIALS[:count])]


def dual_adapter(serial="FT2X4KQA", place="1-3", scripts=("", "")):
    """The two UARTs of one FT2232H: one place, one serial number."""
    return [UsbAdapter(serial=serial, place=place, interface=n, product="6010", description="Dual RS232-HS",
                       script=scripts[n]) for n in (0, 1)]


def port_number(port):
    """3 for /dev/ttyUSB3 or COM3, to put ports in their numbers' order."""
    return int(re.search(r"\d+$", port).group())


class _Plug:
    """An adapter as plugged: its port, listing and device, ready once plugged in."""

    def __init__(self, adapter, port, listed, device=None):
        self.adapter, self.port, self.listed, self.device = adapter, port, listed, device
        self.ready = threading.Event()


class UsbBed:
    """The faked USB adapters of a Runner.usb_bed block, and kestrin where
    they are seen.

      run(ARGS, timeout=30)  runs kestrin to its end: a Result
      start(ARGS)            starts it: a run, as Runner.start gives
      plug(adapter, after_ms=0)
                             plugs an adapter in, at once or after_ms later
                             (then on a thread of its own: plug returns at once)
      unplug(adapter)        its device hangs up, then its port goes; plugged
                             in again, it comes back with a new device: on
                             Linux at another port (umockdev gives no node
                             twice), under Wine at the first free COM port
      port(adapter)          its port as kestrin takes it (/dev/ttyUSB1, COM23),
                             known from the moment plug() is called
      listed(adapter)        what `kestrin ports --json` lists for it: port,
                             description, manufacturer, serial_number,
                             hardware_id, location, usb_vendor_id, usb_product_id
      selector(adapter, by)  a selector that names it: by "usb" (usb:VID:PID),
                             "serial" (usb:VID:PID:SERIAL) or "location"
      device(adapter)        the scripted_device.Device behind its port, which
                             plays adapter.script from its plug (waits for a
                             plug under way)
      adapters               those plugged, in the order they were
    """

    def __init__(self):
        self._plugs = {}
        self._threads = []
        self._failures = []
        self._lock = threading.Lock()

    @property
    def adapters(self):
        return list(self._plugs)

    def plug_all(self, adapters):
        plugs = [self._plug(adapter, later=False) for adapter in adapters]
        if plugs:
            with self._lock:
                self._connect(plugs)

    def plug(self, adapter, after_ms=0):
        plug = self._plug(adapter, later=after_ms > 0)
        if after_ms <= 0:
            with self._lock:
                self._connect([plug])
            return

        def later():
            time.sleep(after_ms / 1000)
            try:
                with self._lock:
                    self._connect([plug])
            except Exception as error:  # noqa: BLE001 - reported when the block ends
                self._failures.append(f"plugging {adapter} in: {error}")
                self._plugs.pop(adapter, None)

        thread = threading.Thread(target=later, daemon=True)
        thread.start()
        self._threads.append(thread)

    def unplug(self, adapter):
        plug = self._plugs.pop(adapter)
        if not plug.ready.wait(60):
            raise AssertionError(f"{adapter} was never plugged in")
        with self._lock:
            self._disconnect(plug)
        if plug.device.failure:
            self._failures.append(f"device on {plug.port}: {plug.device.failure}")

    def port(self, adapter):
        return self._plugs[adapter].port

    def listed(self, adapter):
        return dict(self._plugs[adapter].listed)

    def selector(self, adapter, by="location"):
        listed = self.listed(adapter)
        if by == "location":
            return "location:" + listed["location"]
        ids = f"usb:{adapter.vendor}:{adapter.product}"
        return ids if by == "usb" else f"{ids}:{listed['serial_number']}"

    def device(self, adapter, timeout=30):
        plug = self._plugs[adapter]
        if not plug.ready.wait(timeout):
            raise AssertionError(f"{adapter} not plugged in within {timeout} s")
        return plug.device

    def close(self, check=True):
        for thread in self._threads:
            thread.join()
        for adapter in list(self._plugs):
            try:
                self.unplug(adapter)
            except AssertionError as error:
                self._failures.append(str(error))
        self._closed()
        if check and self._failures:
            raise AssertionError("; ".join(self._failures))

    def _plug(self, adapter, later):
        if adapter in self._plugs:
            raise ValueError(f"{adapter} is plugged in already")
        plug = self._prepare(adapter, later)
        self._plugs[adapter] = plug
        return plug

    # Each platform's: a plug's port and listing; plugging in and out.
    def _prepare(self, adapter, later):
        raise NotImplementedError

    def _connect(self, plugs):
        raise NotImplementedError

    def _disconnect(self, plug):
        raise NotImplementedError

    def _closed(self):
        pass


class LinuxUsbBed(UsbBed):
    """Adapters in a umockdev testbed: each port a pseudo-terminal that
    umockdev makes, whose master it hands to the device."""

    def __init__(self, runner):
        super().__init__()
        self.runner = runner
        self.testbed = UmockdevTestbed()
        self._described = set()
        self._numbers = itertools.count()
        self._held = []

    def run(self, *args, timeout=30):
        return self.start(*args).wait(timeout)

    def start(self, *args, stdout=subprocess.PIPE, stderr=subprocess.PIPE):
        return self.runner._started(LinuxRun(subprocess.Popen(
            self.runner.command(self.runner.kestrin, *args), env=self.testbed.env(), stdout=stdout, stderr=stderr,
            stdin=subprocess.DEVNULL, text=True)))

    def _prepare(self, adapter, later):
        number = next(self._numbers)
        listed = {"port": f"/dev/ttyUSB{number}", "description": adapter.description,
                  "manufacturer": adapter.manufacturer, "serial_number": adapter.serial or "", "hardware_id": "",
                  "location": f"{adapter.place}:1.{adapter.interface or 0}", "usb_vendor_id": adapter.vendor,
                  "usb_product_id": adapter.product}
        plug = _Plug(adapter, listed["port"], listed)
        plug.devices = umockdev_devices(adapter, number)
        return plug

    def _connect(self, plugs):
        for plug in plugs:
            # A device umockdev has is not described again: it would refuse.
            self.testbed.ask("add", description="\n".join(
                text for path, text in plug.devices if path not in self._described))
            self._described.update(path for path, _ in plug.devices)
            _, (master,) = self.testbed.ask("device", node=plug.port)
            # The device's own hold on the line: with no slave open, the
            # master reads EIO.
            slave = os.open(os.readlink(self.testbed.root + plug.port), os.O_RDWR | os.O_NOCTTY)
            plug.device = Device(os.path.basename(plug.port), plug.adapter.script, (master, slave))
            plug.device.start()
            plug.ready.set()

    def _disconnect(self, plug):
        # As a pulled adapter: the line hangs up, then the port goes.
        device = plug.device
        device.finish()
        os.close(device.master)
        device.master = None
        self.testbed.ask("hang_up", node=plug.port)
        self.testbed.ask("remove", syspath="/sys" + plug.devices[0][0])
        # umockdev keeps its map from the pseudo-terminal's number to the
        # node it was, and would fail on a new node given that number: the
        # terminal is held, so that its number is not given again.
        self._held.append(device)

    def _closed(self):
        for device in self._held:
            device.close()
        self.testbed.close()


class UmockdevTestbed:
    """umockdev's testbed, kept by umockdev_testbed.py (which see) in
    Debian's Python under umockdev-wrapper; kestrin sees it with env()."""

    python = "/usr/bin/python3"

    def __init__(self):
        self._channel, theirs = socket.socketpair()
        with theirs:
            self._process = subprocess.Popen(
                ["umockdev-wrapper", self.python, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                                               "umockdev_testbed.py"), str(theirs.fileno())],
                pass_fds=[theirs.fileno()], stdin=subprocess.DEVNULL, stderr=subprocess.PIPE)
        self._buffer = b""
        self.root = self.ask("root")[0]["root"]

    def ask(self, do, **arguments):
        """Its reply to one request, and the descriptors that came with it."""
        self._channel.sendall((json.dumps({"do": do, **arguments}) + "\n").encode())
        passed = []
        while b"\n" not in self._buffer:
            data, fds, _, _ = socket.recv_fds(self._channel, 65536, 1)
            passed += fds
            if not data:
                self._process.kill()
                raise AssertionError(f"umockdev's testbed ended: {self._process.communicate()[1].decode()}")
            self._buffer += data
        line, _, self._buffer = self._buffer.partition(b"\n")
        reply = json.loads(line)
        if "error" in reply:
            raise AssertionError(f"umockdev refused {do} {arguments}: {reply['error']}")
        return reply, passed

    def env(self):
        env = dict(os.environ)
        env["LD_PRELOAD"] = ":".join(filter(None, ["libumockdev-preload.so.0", env.get("LD_PRELOAD")]))
        env["UMOCKDEV_DIR"] = self.root
        # The sanitizers' runtime need not come first: umockdev's preload does.
        env["ASAN_OPTIONS"] = ":".join(filter(None, [env.get("ASAN_OPTIONS"), "verify_asan_link_order=0"]))
        return env

    def close(self):
        self._channel.close()
        try:
            self._process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self._process.kill()
            self._process.wait()
        self._process.stderr.close()


def umockdev_devices(adapter, number):
    """umockdev's descriptions (sysfs path, text) of an adapter's port as
    /dev/ttyUSB<number>: the tty, its usb-serial port, the USB interface and
    the USB device."""
    bus, ports = adapter.place.split("-", 1)
    hubs = ports.split(".")
    usb = f"/devices/pci0000:00/0000:00:14.0/usb{bus}" + "".join(
        f"/{bus}-{'.'.join(hubs[:depth])}" for depth in range(1, len(hubs) + 1))
    interface = f"{usb}/{adapter.place}:1.{adapter.interface or 0}"
    port = f"{interface}/ttyUSB{number}"
    tty = f"{port}/tty/ttyUSB{number}"
    # An adapter without a serial number has no such lines: a blank one
    # would end the description.
    serial = adapter.serial is not None
    devices = [
        (tty, [f"N: ttyUSB{number}", f"E: DEVNAME=/dev/ttyUSB{number}", "E: SUBSYSTEM=tty", "E: MAJOR=188",
               f"E: MINOR={number}", f"E: ID_VENDOR_ID={adapter.vendor}", f"E: ID_MODEL_ID={adapter.product}",
               f"E: ID_SERIAL_SHORT={adapter.serial}" if serial else None, f"A: dev=188:{number}"]),
        (port, ["E: DRIVER=ftdi_sio", "E: SUBSYSTEM=usb-serial", "A: port_number=0"]),
        (interface, ["E: DEVTYPE=usb_interface", "E: DRIVER=ftdi_sio", "E: SUBSYSTEM=usb",
                     f"A: interface={adapter.description}", f"A: bInterfaceNumber={adapter.interface or 0:02d}"]),
        (usb, ["E: DEVTYPE=usb_device", "E: SUBSYSTEM=usb", "E: DRIVER=usb", f"A: idVendor={adapter.vendor}",
               f"A: idProduct={adapter.product}", f"A: manufacturer={adapter.manufacturer}",
               f"A: product={adapter.description}", f"A: serial={adapter.serial}" if serial else None]),
    ]
    return [(path, "".join(f"{line}\n" for line in [f"P: {path}", *lines] if line)) for path, lines in devices]


class WineUsbBed(UsbBed):
    """Adapters in the prefix's registry, each port a COM port linked to a
    pseudo-terminal, as the runner's devices are. Entries of several runs
    share the prefix: a serial number gets its port's number appended
    (A50285BI21), and a location is made from it (Port_#0021.Hub_#0001), so
    that no two runs name one device. An adapter plugged in again keeps
    its identity, as a real one does, at whatever COM port is free then: the
    tests beside it share the prefix and may have taken its old one. The
    serial number also carries the letter P and this process's id, since a
    test beside it may plug an adapter of the same serial into a COM port
    this one let go of."""

    enum = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Enum"

    def __init__(self, runner):
        super().__init__()
        self.runner = runner
        self._folder = tempfile.TemporaryDirectory()
        self._identities = {}

    def run(self, *args, timeout=30):
        return self.runner.run(*args, timeout=timeout)

    def start(self, *args, **output):
        return self.runner.start(*args, **output)

    def _prepare(self, adapter, later):
        device = Device(adapter.serial or "adapter", adapter.script)
        claim = wine_com.PortClaim(self.runner.prefix, device.slave_path)
        number = self._identities.setdefault(adapter, port_number(claim.name))
        plug = _Plug(adapter, claim.name, {}, device)
        plug.claim, plug.link = claim, os.path.join(self.runner.prefix, "dosdevices", claim.name.lower())
        if later:
            # The COM port comes with its plug.
            os.unlink(plug.link)
        plug.key, hardware_id, serial = wine_device_key(adapter, number, f"P{os.getpid()}")
        plug.listed = {"port": claim.name, "description": f"USB Serial Port ({claim.name})",
                       "manufacturer": adapter.manufacturer, "serial_number": serial, "hardware_id": hardware_id,
                       "location": f"Port_#{number:04d}.Hub_#0001", "usb_vendor_id": adapter.vendor,
                       "usb_product_id": adapter.product}
        return plug

    def _connect(self, plugs):
        entries = []
        for plug in plugs:
            if not os.path.lexists(plug.link):
                os.symlink(plug.device.slave_path, plug.link)
            listed, key = plug.listed, f"{self.enum}\\{plug.key}"
            hardware_id = ",".join(f"{b:02x}" for b in (listed["hardware_id"] + "\0\0").encode("utf-16-le"))
            entries += [f"[{key}]",
                        '"ClassGUID"="{4D36E978-E325-11CE-BFC1-08002BE10318}"',
                        f'"HardwareID"=hex(7):{hardware_id}',
                        f'"FriendlyName"="{listed["description"]}"',
                        f'"Mfg"="{listed["manufacturer"]}"',
                        f'"LocationInformation"="{listed["location"]}"',
                        "",
                        f"[{key}\\Device Parameters]",
                        f'"PortName"="{listed["port"]}"',
                        ""]
        self.runner._registry(os.path.join(self._folder.name, "plug.reg"), entries)
        for plug in plugs:
            plug.device.start()
            plug.ready.set()

    def _disconnect(self, plug):
        # As a pulled adapter: the line hangs up, then the port goes. Its
        # number is let go of only once no entry names it, so that a test
        # beside it cannot take the number while a selector still finds it.
        plug.device.finish()
        self.runner._registry(os.path.join(self._folder.name, "unplug.reg"), [f"[-{self.enum}\\{plug.key}]"])
        plug.claim.release()
        plug.device.close()

    def _closed(self):
        self._folder.cleanup()


def wine_device_key(adapter, number, tag=""):
    """The Enum key (below Enum), hardware id and serial number Windows
    would show for the adapter on COM<number>, its serial number ending in
    `tag`."""
    ids = f"VID_{adapter.vendor.upper()}&PID_{adapter.product.upper()}"
    serial = f"{adapter.serial}{number}{tag}" if adapter.serial else ""
    # What Windows makes up for a device without a serial number.
    made_up = f"6&{number:x}&0&{adapter.interface or 0:04d}"
    if adapter.interface is None:
        return f"USB\\{ids}\\{serial or made_up}", f"USB\\{ids}", serial
    if serial:
        # FTDI's own bus driver: the serial number and a letter per UART.
        fields = f"VID_{adapter.vendor.upper()}+PID_{adapter.product.upper()}+{serial}{'ABCDEFGH'[adapter.interface]}"
        return f"FTDIBUS\\{fields}\\0000", f"FTDIBUS\\COMPORT&{ids}", serial
    interface = f"{ids}&MI_{adapter.interface:02d}"
    return f"USB\\{interface}\\{made_up}", f"USB\\{interface}", ""


def pe_machine(path):
    """The machine field of a Windows executable's header: 0x14c for x86, 0x8664 for x64."""
    with open(path, "rb") as exe:
        header = exe.read(4096)
    (offset,) = struct.unpack_from("<I", header, 0x3C)
    (machine,) = struct.unpack_from("<H", header, offset + 4)
    return machine
