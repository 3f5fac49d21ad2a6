#!/usr/bin/env python3
"""Runs a Windows program under Wine against scripted serial devices.

Each device is a Linux pseudo-terminal whose slave is linked into a throwaway
WINEPREFIX as a COM port, so the program opens it with
CreateFile("\\\\.\\COMn"); this script plays the device on the master side.
Python 3 standard library only.

  wine_com.py prefix PREFIX
      Creates the prefix (wineboot -i, then waits for its wineserver). Returns
      at once when it exists; concurrent calls wait for the first one.

  wine_com.py stop PREFIX
      Stops the prefix's wineserver, which `prefix` leaves running for the
      programs that follow.

  wine_com.py run --prefix PREFIX [--wine WINE] [--timeout S]
                  [--device NAME=SCRIPT]... -- PROGRAM [ARG]...
      Gives every device a free COM port, runs WINE PROGRAM ARG... with each
      {NAME} in the arguments replaced by that port's name (e.g. COM21), and
      plays the scripts while the program runs. Exit status: the program's;
      1 when it passed but a device waited in vain for its bytes; 124 when
      it was still running after the timeout (it is then killed, with the
      prefix's wineserver).

A device script is a list of steps separated by spaces (expect:TEXT,
wait:MS, send:TEXT, drip:MS:TEXT, hangup), played in order by
tests/tool/scripted_device.py, which lists them. An empty script is a silent
device. Steps still pending when the program exits are dropped, except an
unmet expect.

CMake: tests/windows/wine_harness.cmake wraps both commands (a CTest fixture
for the prefix, kestrin_add_wine_test for the runs). Python tests can import
this file and use ensure_prefix() and run_with_devices(), whose `during`
hook runs beside the program: to interrupt it, to run a second program on
the same ports, or to look at a port's line settings (Device.settings()).
"""

import argparse
import contextlib
import fcntl
import os
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import termios
import threading
import time

# The scripted device is the tool tests' too, which play it on Linux as well.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tool"))
from scripted_device import Device, parse_script  # noqa: E402,F401

# COM1 and up are where Wine puts the machine's own serial ports.
FIRST_PORT = 20
LAST_PORT = 255
READY_MARK = ".kestrin-prefix-ready"


def wine_environment(prefix, winedebug="-all"):
    env = dict(os.environ)
    env["WINEPREFIX"] = os.path.abspath(prefix)
    env["WINEDEBUG"] = winedebug
    # No Mono or Gecko: nothing here needs them, and asking for them would
    # stall a headless wineboot.
    env["WINEDLLOVERRIDES"] = "mscoree,mshtml="
    env.pop("DISPLAY", None)
    # The default, a 64-bit prefix, runs both the 32-bit and 64-bit builds.
    env.pop("WINEARCH", None)
    return env


def kill_wineserver(env):
    subprocess.run(["wineserver", "-k"], env=env, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                   timeout=30, check=False)


def ensure_prefix(prefix, timeout=300):
    """Creates PREFIX once; a half-made one left by an interrupted run is redone."""
    prefix = os.path.abspath(prefix)
    ready = os.path.join(prefix, READY_MARK)
    if os.path.exists(ready):
        return
    os.makedirs(os.path.dirname(prefix), exist_ok=True)
    with open(prefix + ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if os.path.exists(ready):
            return
        shutil.rmtree(prefix, ignore_errors=True)
        env = wine_environment(prefix)
        started = time.monotonic()
        try:
            # Output to a file, not a pipe: the wineserver it starts outlives
            # wineboot and would hold a pipe open.
            with tempfile.TemporaryFile() as log:
                boot = subprocess.run(["wineboot", "-i"], env=env, stdin=subprocess.DEVNULL,
                                      stdout=log, stderr=log, timeout=timeout, check=False)
                if boot.returncode != 0:
                    log.seek(0)
                    sys.stdout.write(log.read().decode(errors="replace"))
                    raise RuntimeError(f"wineboot -i failed with status {boot.returncode}")
            subprocess.run(["wineserver", "-w"], env=env, stdin=subprocess.DEVNULL,
                           timeout=max(1, timeout - (time.monotonic() - started)), check=True)
        except subprocess.TimeoutExpired:
            kill_wineserver(env)
            raise RuntimeError(f"creating the Wine prefix took longer than {timeout} s")
        with open(ready, "w"):
            pass
        print(f"Wine prefix {prefix} created in {time.monotonic() - started:.1f} s")


# What a DCB sets and a pseudo-terminal keeps: the rate, the stop bits and
# the flow control (a pty has no parity or character size of its own, and
# Wine's SetCommState adds settings of its own that no DCB names).
DCB_CFLAG_BITS = termios.CSTOPB | termios.CRTSCTS
DCB_IFLAG_BITS = termios.IXON | termios.IXOFF


def dcb_part(attributes):
    """The part of a termios.tcgetattr list that a Windows program's DCB
    decides, to compare a port's settings before, during and after it ran."""
    iflag, _, cflag, _, ispeed, ospeed, _ = attributes
    return {"speed": (ispeed, ospeed), "cflag": cflag & DCB_CFLAG_BITS, "iflag": iflag & DCB_IFLAG_BITS}


class KeepAlive:
    """A Wine program that waits, so that the prefix's wineserver stays up
    between the programs a test runs: Wine starts its server for one
    client at a time, and a program that starts as it shuts down fails to
    launch. Each program then starts in a fraction of the time, too."""

    def __init__(self, prefix, wine="wine", timeout=60):
        env = wine_environment(prefix)
        deadline = time.monotonic() + timeout
        while True:
            # cmd waits for a line on its input, which only ends with us.
            self._process = subprocess.Popen([wine, "cmd", "/c", "set /p x=READY"], env=env,
                                             stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                             stderr=subprocess.DEVNULL, start_new_session=True)
            seen = b""
            while b"READY" not in seen and time.monotonic() < deadline:
                ready, _, _ = select.select([self._process.stdout], [], [], 1)
                chunk = os.read(self._process.stdout.fileno(), 100) if ready else b""
                if ready and not chunk:
                    break
                seen += chunk
            if b"READY" in seen:
                return
            self.stop()
            if time.monotonic() >= deadline:
                raise RuntimeError(f"no Wine program would start in the prefix within {timeout} s")

    def stop(self):
        with contextlib.suppress(OSError):
            self._process.stdin.close()
        try:
            self._process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            os.killpg(self._process.pid, signal.SIGKILL)
            self._process.wait()
        self._process.stdout.close()


class PortClaim:
    """COMn of the prefix, linked to a pseudo-terminal for as long as it is held.

    A lock file per number keeps concurrent runs in one prefix apart; the
    kernel drops the lock when its holder dies, so a crashed run leaves
    nothing that needs cleaning.
    """

    def __init__(self, prefix, target):
        locks = os.path.join(prefix, "kestrin-port-locks")
        os.makedirs(locks, exist_ok=True)
        for number in range(FIRST_PORT, LAST_PORT + 1):
            link = os.path.join(prefix, "dosdevices", f"com{number}")
            # A link Wine made for a serial port of the machine is not ours.
            if os.path.islink(link) and not os.readlink(link).startswith("/dev/pts/"):
                continue
            lock = os.open(os.path.join(locks, f"com{number}"), os.O_RDWR | os.O_CREAT, 0o644)
            try:
                fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except BlockingIOError:
                os.close(lock)
                continue
            with contextlib.suppress(FileNotFoundError):
                os.unlink(link)
            os.symlink(target, link)
            self.name, self._link, self._lock, self._target = f"COM{number}", link, lock, target
            return
        raise RuntimeError("no free COM port number in the Wine prefix")

    def release(self):
        with contextlib.suppress(OSError):
            if os.readlink(self._link) == self._target:
                os.unlink(self._link)
        os.close(self._lock)


class Run:
    """The program while it runs, as a `during` hook sees it."""

    def __init__(self, program, devices, env, wine, log=None):
        self.program, self.devices, self.env, self.wine, self._log = program, devices, env, wine, log

    def output(self):
        """What the program has printed so far (stdout and stderr)."""
        size = os.fstat(self._log.fileno()).st_size
        return os.pread(self._log.fileno(), size, 0).decode(errors="replace")

    def wait_for_output(self, text, timeout=30):
        """Waits until the program has printed `text`; False if it ended or
        the timeout passed first."""
        deadline = time.monotonic() + timeout
        while text not in self.output():
            if self.program.poll() is not None or time.monotonic() > deadline:
                return False
            time.sleep(0.02)
        return True

    def substitute(self, argv):
        for name, device in self.devices.items():
            argv = [a.replace("{" + name + "}", device.port) for a in argv]
        return argv

    def wait_for_devices(self, timeout=30):
        """Waits until every device has played its script; False if the
        program ended or the timeout passed first."""
        deadline = time.monotonic() + timeout
        while not all(d.finished() for d in self.devices.values()):
            if self.program.poll() is not None or time.monotonic() > deadline:
                return False
            time.sleep(0.02)
        return True

    def interrupt(self):
        """Ctrl-C: Wine turns SIGINT into a console control event. To the
        whole process group, as a terminal does: a 64-bit program runs as a
        child of Wine's start.exe, which waits for it and passes its exit
        status on."""
        with contextlib.suppress(ProcessLookupError):
            os.killpg(self.program.pid, signal.SIGINT)

    def run_other(self, argv, timeout=30):
        """Runs another program in the same prefix, {NAME} substituted, to
        its end: (status, output)."""
        other = subprocess.run([self.wine] + self.substitute(argv), env=self.env, stdin=subprocess.DEVNULL,
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=timeout, check=False)
        return other.returncode, other.stdout.decode(errors="replace")


# What Wine prints when it could not start the program at all: a wineserver
# that was just shutting down as the program came up, with several tests
# sharing the prefix. The program never ran, so it is run once more.
LAUNCH_FAILURES = ("wine client error", "ShellExecuteEx failed")


def run_with_devices(prefix, argv, devices=None, wine="wine", timeout=60, winedebug="-all", during=None):
    """Runs argv[0] under Wine with argv[1:] after {NAME} substitution.

    devices maps NAME to a script. Returns (status, output, {NAME: Device});
    each Device has .port (e.g. "COM21"), .received (what the program sent
    after the last met expect), .failure (None when its script held) and
    .settings_before/.settings_after (the port's termios around the run).
    `during`, if given, is called with a Run on a thread of its own once the
    program has started; the run ends when both have.
    """
    for _ in range(3):
        status, output, played = _run_once(prefix, argv, devices, wine, timeout, winedebug, during)
        if status == 0 or not any(failure in output for failure in LAUNCH_FAILURES):
            break
    return status, output, played


def _run_once(prefix, argv, devices, wine, timeout, winedebug, during):
    prefix = os.path.abspath(prefix)
    env = wine_environment(prefix, winedebug)
    played, claims = {}, []
    try:
        for name, script in (devices or {}).items():
            device = Device(name, script)
            played[name] = device
            claims.append(PortClaim(prefix, device.slave_path))
            device.port = claims[-1].name
        for device in played.values():
            device.start()

        with tempfile.TemporaryFile() as log:
            # Its own session, so a timeout can end the whole process group.
            program = subprocess.Popen([wine] + Run(None, played, env, wine).substitute(list(argv)), env=env,
                                       stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
                                       start_new_session=True)
            hook = None
            if during is not None:
                hook = threading.Thread(target=during, args=(Run(program, played, env, wine, log),), daemon=True)
                hook.start()
            try:
                status = program.wait(timeout=timeout)
                if hook is not None:
                    hook.join(timeout=timeout)
            except subprocess.TimeoutExpired:
                with contextlib.suppress(ProcessLookupError):
                    os.killpg(program.pid, signal.SIGKILL)
                program.wait()
                kill_wineserver(env)
                status = 124
            log.seek(0)
            output = log.read().decode(errors="replace")
        if status == 124:
            output += f"\n{os.path.basename(argv[0])} still running after {timeout} s: killed\n"
        for device in played.values():
            device.program_ended()
        return status, output, played
    finally:
        for claim in claims:
            claim.release()
        for device in played.values():
            device.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    commands = parser.add_subparsers(dest="command", required=True)
    make = commands.add_parser("prefix", help="create the Wine prefix once")
    make.add_argument("prefix")
    make.add_argument("--timeout", type=float, default=300)
    stop = commands.add_parser("stop", help="stop the prefix's wineserver")
    stop.add_argument("prefix")
    run = commands.add_parser("run", help="run a program against scripted devices")
    run.add_argument("--prefix", required=True)
    run.add_argument("--wine", default="wine")
    run.add_argument("--timeout", type=float, default=60)
    run.add_argument("--winedebug", default="-all")
    run.add_argument("--device", action="append", default=[], metavar="NAME=SCRIPT")
    run.add_argument("program", nargs=argparse.REMAINDER)
    options = parser.parse_args()

    if options.command == "prefix":
        try:
            ensure_prefix(options.prefix, options.timeout)
        except RuntimeError as error:
            print(error, file=sys.stderr)
            return 1
        # A server that stays up until the tests are done: Wine starts one
        # for the first client and stops it after the last, and a program
        # that starts just as it stops may hang or fail to launch.
        # The first program also starts Wine's own services, which then stay
        # as long as the server: started here, they hold no test's output.
        env = wine_environment(options.prefix)
        for command in (["wineserver", "-p"], ["wine", "cmd", "/c", "rem"]):
            subprocess.run(command, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=120, check=False)
        return 0
    if options.command == "stop":
        kill_wineserver(wine_environment(options.prefix))
        return 0

    program = options.program[1:] if options.program[:1] == ["--"] else options.program
    if not program:
        parser.error("no program to run")
    if not os.path.exists(os.path.join(options.prefix, READY_MARK)):
        parser.error(f"no Wine prefix at {options.prefix}: run 'wine_com.py prefix' first")
    devices = {}
    for device_option in options.device:
        name, _, script = device_option.partition("=")
        try:
            parse_script(script)
        except ValueError as error:
            parser.error(f"device {name}: {error}")
        devices[name] = script
    status, output, played = run_with_devices(options.prefix, program, devices, options.wine,
                                              options.timeout, options.winedebug)
    sys.stdout.write(output)
    failed = [d for d in played.values() if d.failure]
    for device in played.values():
        state = device.failure or f"{device.finished_steps} of {len(device.steps)} steps played"
        print(f"device {device.device_name} on {device.port}: {state}")
    if status == 0 and failed:
        status = 1
    return status


if __name__ == "__main__":
    sys.exit(main())
