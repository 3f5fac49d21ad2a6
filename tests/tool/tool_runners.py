"""Where tool_test.py's scenarios run: how to start kestrin, and how to give
it a device, on each platform.

  LinuxRunner   the Linux build, natively ("native") or through qemu-user
                ("qemu"); a device is a pseudo-terminal, given by its path
  WineRunner    kestrin.exe under Wine ("wine"); a device is a
                pseudo-terminal linked into the prefix as a COM port

Either way the device is scripted_device.Device, played from Python on the
terminal's master side, so one script drives every runner. Python 3
standard library only.

Native runs can also see the modem lines the tool drives: see
LinuxRunner.modem_lines() and ModemLines.
"""

import contextlib
import ctypes.util
import os
import select
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import termios
import threading

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

    def usb_adapters(self, count):
        """A context in which the tool sees `count` USB serial adapters
        (FTDI, 0403:6001) that this runner fakes: it yields (run, adapters),
        run(ARGS) running kestrin where they are seen, adapters what each
        should be listed with (port, description, manufacturer,
        serial_number, hardware_id), in the order of their ports' numbers."""
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

    @contextlib.contextmanager
    def usb_adapters(self, count):
        # umockdev's preload shows the tool a sysfs and /dev of its own.
        serials = ["A50285BI", "A7XQ31ZK", "FT4ZXY12"][:count]
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "adapters.umockdev")
            with open(path, "w") as description:
                description.write("\n".join(umockdev_adapter(n, serial) for n, serial in enumerate(serials)))

            def run(*args):
                env = dict(os.environ)
                # The sanitizers' runtime need not come first: umockdev's preload does.
                env["ASAN_OPTIONS"] = ":".join(filter(None, [env.get("ASAN_OPTIONS"), "verify_asan_link_order=0"]))
                done = subprocess.run(["umockdev-run", "-d", path, "--", *self.command(self.kestrin, *args)], env=env,
                                      capture_output=True, text=True, timeout=30, stdin=subprocess.DEVNULL)
                return Result(done.returncode, done.stdout, done.stderr)

            yield run, [{"port": f"/dev/ttyUSB{n}", "description": "FT232R USB UART", "manufacturer": "FTDI",
                         "serial_number": serial, "hardware_id": ""} for n, serial in enumerate(serials)]

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

    @contextlib.contextmanager
    def usb_adapters(self, count):
        # SetupAPI lists what the prefix's registry says is plugged in. Each
        # adapter takes a COM port claimed for a silent device, so that its
        # number, and the serial made from it, are this run's alone (a key a
        # killed run left behind under that serial is overwritten).
        with contextlib.ExitStack() as stack:
            devices = [stack.enter_context(self.device()) for _ in range(count)]
            devices.sort(key=lambda d: int(d.port[3:]))
            adapters = [{"port": d.port, "description": f"USB Serial Port ({d.port})", "manufacturer": "FTDI",
                         "serial_number": f"KSTN{int(d.port[3:]):04d}", "hardware_id": "USB\\VID_0403&PID_6001"}
                        for d in devices]
            keys = [f"HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Enum\\USB\\VID_0403&PID_6001\\{a['serial_number']}"
                    for a in adapters]
            folder = stack.enter_context(tempfile.TemporaryDirectory())
            stack.callback(self._registry, os.path.join(folder, "remove.reg"), [f"[-{key}]" for key in keys])
            entries = []
            for key, adapter in zip(keys, adapters):
                hardware_id = ",".join(f"{b:02x}" for b in (adapter["hardware_id"] + "\0\0").encode("utf-16-le"))
                entries += [f"[{key}]",
                            '"ClassGUID"="{4D36E978-E325-11CE-BFC1-08002BE10318}"',
                            f'"HardwareID"=hex(7):{hardware_id}',
                            f'"FriendlyName"="{adapter["description"]}"',
                            f'"Mfg"="{adapter["manufacturer"]}"',
                            "",
                            f"[{key}\\Device Parameters]",
                            f'"PortName"="{adapter["port"]}"',
                            ""]
            self._registry(os.path.join(folder, "add.reg"), entries)
            yield self.run, adapters

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


def umockdev_adapter(number, serial):
    """umockdev's description of an FTDI adapter as /dev/ttyUSB<number>: the
    tty, its usb-serial port, the USB interface and the USB device."""
    usb = f"/devices/pci0000:00/0000:00:14.0/usb1/1-{number + 1}"
    port = f"{usb}/1-{number + 1}:1.0/ttyUSB{number}"
    return f"""P: {port}/tty/ttyUSB{number}
N: ttyUSB{number}
E: DEVNAME=/dev/ttyUSB{number}
E: SUBSYSTEM=tty
E: MAJOR=188
E: MINOR={number}
E: ID_VENDOR_ID=0403
E: ID_MODEL_ID=6001
E: ID_SERIAL_SHORT={serial}
A: dev=188:{number}

P: {port}
E: DRIVER=ftdi_sio
E: SUBSYSTEM=usb-serial
A: port_number=0

P: {usb}/1-{number + 1}:1.0
E: DEVTYPE=usb_interface
E: DRIVER=ftdi_sio
E: SUBSYSTEM=usb
A: interface=FT232R USB UART
A: bInterfaceNumber=00

P: {usb}
E: DEVTYPE=usb_device
E: SUBSYSTEM=usb
E: DRIVER=usb
A: idVendor=0403
A: idProduct=6001
A: manufacturer=FTDI
A: product=FT232R USB UART
A: serial={serial}
"""


def pe_machine(path):
    """The machine field of a Windows executable's header: 0x14c for x86, 0x8664 for x64."""
    with open(path, "rb") as exe:
        header = exe.read(4096)
    (offset,) = struct.unpack_from("<I", header, 0x3C)
    (machine,) = struct.unpack_from("<H", header, offset + 4)
    return machine
