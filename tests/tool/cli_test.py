#!/usr/bin/env python3
"""The Linux kestrin tool end to end, against `kestrin sim` devices.

  cli_test.py [--emulator COMMAND] KESTRIN LIBRARY [unittest arguments, e.g. a class name]

--emulator runs every kestrin process through COMMAND, e.g.
"qemu-aarch64 -L /usr/aarch64-linux-gnu", for a tool built for another processor.

Python 3 standard library only. Devices report readiness by printing their
port, and what they receive through --trace, so nothing waits on a sleep.
"""

import ctypes.util
import fcntl
import json
import os
import pty
import queue
import re
import select
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import termios
import threading
import time
import unittest
from concurrent.futures import ThreadPoolExecutor

from tool_checks import (check_help_examples, error_object, help_hint, is_usage_error, late_line, matched_line,
                         no_match_line, summary_counts, trace_bytes, trace_read)

KESTRIN = None
LIBRARY = None
EMULATOR = []


def any_rate():
    """A baud rate without a B constant, but under qemu-user, which passes no
    termios2 on to the kernel and so gives ports only the standard rates."""
    return "230400" if EMULATOR else "250000"


def command(program, *args):
    """The argument list that runs `program`, through the emulator if there is one."""
    return [*EMULATOR, program, *args]


class Sim:
    """`kestrin sim --trace RULES...`, read line by line on a thread."""

    def __init__(self, *rules, extra=()):
        self.process = subprocess.Popen(command(KESTRIN, "sim", "--trace", *extra, *rules), stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, stdin=subprocess.DEVNULL)
        self.lines = queue.Queue()
        self.port = self._first_line()
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _first_line(self):
        ready, _, _ = select.select([self.process.stdout], [], [], 10)
        if not ready:
            self.process.kill()
            raise AssertionError("kestrin sim printed no port within 10 s")
        line = self.process.stdout.readline().decode().strip()
        if not line.startswith("/dev/"):
            self.process.kill()
            raise AssertionError(f"kestrin sim printed {line!r}, stderr: {self.process.stderr.read()!r}")
        return line

    def _read(self):
        for line in self.process.stdout:
            self.lines.put(line.decode().strip())

    def wait_for(self, prefix, timeout=5):
        """The bytes of the next trace line of that direction (rx or tx)."""
        deadline = time.monotonic() + timeout
        while True:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise AssertionError(f"no {prefix} line from the device within {timeout} s")
            try:
                line = self.lines.get(timeout=remaining)
            except queue.Empty:
                continue
            if line == prefix or line.startswith(prefix + " "):
                return bytes.fromhex(line[len(prefix) + 1:])

    def received_until(self, wanted, timeout=5):
        got = b""
        while wanted not in got:
            got += self.wait_for("rx", timeout)
        return got

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        status = self.process.wait(timeout=10)
        self.process.stdout.close()
        self.process.stderr.close()
        return status

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        status = self.stop()
        if exc[0] is None and status != 0:
            raise AssertionError(f"kestrin sim ended with status {status}")


def kestrin(*args, timeout=30, **kwargs):
    return subprocess.run(command(KESTRIN, *args), capture_output=True, text=True, timeout=timeout,
                          stdin=subprocess.DEVNULL, **kwargs)


def poll(port, *args, **kwargs):
    return kestrin("poll", port, "--library", LIBRARY, *args, **kwargs)


def start_poll(port, *args, stderr=subprocess.PIPE):
    """`kestrin poll` running in the background, its output as text."""
    return subprocess.Popen(command(KESTRIN, "poll", port, "--library", LIBRARY, *args), stdout=subprocess.PIPE,
                            stderr=stderr, stdin=subprocess.DEVNULL, text=True)


class PortHolder:
    """The port as another program holds it: an open descriptor of its own,
    given settings nothing like the tool's (canonical, echoing, 4800 baud,
    reads that wait for a byte), to check that the tool puts them back."""

    def __init__(self, path):
        self.fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
        attributes = termios.tcgetattr(self.fd)
        attributes[0] |= termios.ICRNL
        attributes[1] |= termios.OPOST
        attributes[3] |= termios.ICANON | termios.ECHO | termios.ISIG
        attributes[4] = attributes[5] = termios.B4800
        attributes[6][termios.VMIN] = 1
        attributes[6][termios.VTIME] = 0
        termios.tcsetattr(self.fd, termios.TCSANOW, attributes)
        self.before = termios.tcgetattr(self.fd)

    def settings(self):
        return termios.tcgetattr(self.fd)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        os.close(self.fd)


def interrupt_when_received(sim, process, wanted, signal_number=signal.SIGINT):
    """Interrupts `process` once the device has received `wanted` from it,
    that is, while its poll is running. Returns (status, stdout, stderr)."""
    sim.received_until(wanted)
    time.sleep(0.2)  # into the library's poll
    process.send_signal(signal_number)
    out, err = process.communicate(timeout=20)
    return process.returncode, out, err


def run_example(args):
    """Runs `kestrin ARGS` as a help example gives it: (status, output).

    A sim runs until it is stopped, so it is stopped once its port is there.
    """
    if args[0] != "sim":
        result = kestrin(*args)
        return result.returncode, result.stdout + result.stderr
    process = subprocess.Popen(command(KESTRIN, *args), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               stdin=subprocess.DEVNULL, text=True)
    ready, _, _ = select.select([process.stdout], [], [], 10)
    first = process.stdout.readline() if ready else ""
    if first.startswith("/dev/"):
        process.send_signal(signal.SIGTERM)
    try:
        out, err = process.communicate(timeout=10)
    except subprocess.TimeoutExpired:
        process.kill()
        out, err = process.communicate()
    return process.returncode, first + out + err


class Poll(unittest.TestCase):
    def test_matching_reply_exits_0_with_the_time(self):
        # The device's delay starts when the request reaches it, a moment
        # before the poll starts, so the reported time may be a little short
        # of it on a loaded machine, but never far.
        with Sim("on PING\\r\\n reply PONG\\r\\n after 400") as sim:
            result = poll(sim.port, "--send", "PING\\r\\n", "--expect", "PONG\\r\\n", "--timeout", "3000")
        self.assertEqual(result.returncode, 0, result.stderr)
        found = re.fullmatch(matched_line(sim.port) + "\n", result.stdout)
        self.assertIsNotNone(found, result.stdout)
        self.assertGreaterEqual(int(found.group(1)), 200)
        self.assertLess(int(found.group(1)), 3000)
        self.assertEqual(result.stderr, "")

    def test_wrong_replies_exit_1_once_the_budget_is_spent(self):
        with Sim("on PING reply NOPE repeat 40 every 50") as sim:
            result = poll(sim.port, "--send", "PING", "--expect", "OKAY", "--timeout", "300")
        self.assertEqual(result.returncode, 1, result.stderr)
        found = re.fullmatch(no_match_line(sim.port, 300) + "\n", result.stdout)
        self.assertIsNotNone(found, result.stdout)
        self.assertGreaterEqual(int(found.group(1)), 300)
        self.assertLess(int(found.group(1)), 2000)

    def test_a_match_after_a_wrong_reply_still_counts(self):
        with Sim("on PING reply NOPE times 1", "on PING reply OKAY") as sim:
            first = poll(sim.port, "--send", "PING", "--expect", "OKAY", "--timeout", "0")
            second = poll(sim.port, "--send", "PING", "--expect", "OKAY", "--timeout", "0")
        self.assertEqual((first.returncode, second.returncode), (1, 0), first.stdout + second.stdout)

    def test_json_object_for_a_match_and_for_no_match(self):
        with Sim("on A reply OK", "on B reply NO repeat 20 every 50") as sim:
            matched = poll(sim.port, "--send", "A", "--expect", "OK", "--json", "--baud", "115200")
            missed = poll(sim.port, "--send", "B", "--expect", "OK", "--timeout", "200", "--json")
        self.assertEqual(matched.returncode, 0, matched.stderr)
        j = json.loads(matched.stdout)
        self.assertEqual(len(matched.stdout.strip().splitlines()), 1)
        self.assertEqual((j["status"], j["matched"], j["result"], j["exit_code"]), ("matched", True, 1, 0))
        self.assertEqual((j["port"], j["expect_hex"], j["sent_hex"], j["baud"]), (sim.port, "4f 4b", "41", 115200))
        self.assertEqual(j["library_version"], "1.0.0.0")
        self.assertIsInstance(j["elapsed_ms"], int)

        self.assertEqual(missed.returncode, 1, missed.stderr)
        k = json.loads(missed.stdout)
        self.assertEqual((k["status"], k["matched"], k["result"], k["exit_code"]), ("no_match", False, 0, 1))
        self.assertGreaterEqual(k["elapsed_ms"], 200)
        self.assertEqual(k["timeout_ms"], 200)

    def test_send_reaches_the_device_with_its_escapes(self):
        with Sim("on hex:015c reply OK") as sim:
            result = poll(sim.port, "--send", "A\\tB\\r\\n\\x01\\\\", "--expect", "OK")
            got = sim.received_until(b"\x01\\")
        self.assertEqual(got, b"A\tB\r\n\x01\\")
        self.assertEqual(result.returncode, 0, result.stderr)

    def test_send_hex_and_expect_hex(self):
        with Sim("on hex:00ff7f reply hex:0d0a00ff") as sim:
            result = poll(sim.port, "--send-hex", "00 ff 7f", "--expect-hex", "0d:0a:00:ff")
            got = sim.received_until(b"\x7f")
        self.assertEqual(got, b"\x00\xff\x7f")
        self.assertEqual(result.returncode, 0, result.stderr + result.stdout)

    def test_escapes_in_the_expected_reply(self):
        with Sim("on GO reply hex:\"0d 0a 09 00 ff 5c\"") as sim:
            result = poll(sim.port, "--send", "GO", "--expect", "\\r\\n\\t\\x00\\xFF\\\\")
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)

    def test_without_send_the_device_speaks_unprompted(self):
        with Sim("send READY\\r\\n every 50") as sim:
            result = poll(sim.port, "--expect", "READY\\r\\n", "--timeout", "2000")
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)

    def test_stale_input_is_discarded_before_the_request(self):
        with Sim("send OK", "on X reply NO") as sim:
            self.assertEqual(sim.wait_for("tx"), b"OK")  # waiting in the port now
            result = poll(sim.port, "--send", "X", "--expect", "OK", "--timeout", "0")
        self.assertEqual(result.returncode, 1, "the stale OK must not match: " + result.stdout)

    def test_line_settings_are_accepted(self):
        with Sim("on A reply OK") as sim:
            result = poll(sim.port, "--send", "A", "--expect", "OK", "--baud", "19200", "--data-bits", "7",
                          "--parity", "odd", "--stop-bits", "2", "--read-wait", "50")
        self.assertEqual(result.returncode, 0, result.stderr)


class Errors(unittest.TestCase):
    def assert_error(self, result, port, *words):
        self.assertEqual(result.returncode, 2, result.stdout + result.stderr)
        lines = result.stderr.splitlines()
        self.assertEqual(len(lines), 1, result.stderr)
        self.assertTrue(lines[0].startswith(f"kestrin: {port}: "), lines[0])
        for word in words:
            self.assertIn(word, lines[0])
        self.assertEqual(result.stdout, "")

    def test_input_is_refused_before_the_port_is_touched(self):
        # The port does not exist: each message must be about the input.
        port = "/dev/kestrin-no-such-port"
        self.assert_error(poll(port, "--expect", "A" * 21), port, "21 bytes", "20")
        self.assert_error(poll(port, "--expect", ""), port, "empty")
        self.assert_error(poll(port), port, "empty")
        self.assert_error(poll(port, "--expect", "OK\\q"), port, "\\q")
        self.assert_error(poll(port, "--expect", "\\x4"), port, "\\x")
        self.assert_error(poll(port, "--expect", "OK", "--send", "\\"), port, "backslash")
        self.assert_error(poll(port, "--expect-hex", "4f4"), port, "hex")
        self.assert_error(poll(port, "--expect", "OK", "--baud", "0"), port, "baud rate must be at least 1")
        self.assert_error(poll(port, "--expect", "OK", "--parity", "markish"), port, "parity", "markish")
        self.assert_error(poll(port, "--expect", "OK", "--flow", "hardware"), port, "flow control", "hardware")
        self.assert_error(poll(port, "--expect", "OK", "--dtr", "1"), port, "--dtr must be on or off")
        self.assert_error(poll(port, "--expect", "OK", "--rts", "high"), port, "--rts must be on or off")
        self.assert_error(poll(port, "--expect", "OK", "--timeout", "2 s"), port, "--timeout", "not a duration")
        self.assert_error(poll(port, "--expect", "OK", "--read-wait", "0.5ms"), port, "--read-wait", "milliseconds")
        self.assert_error(poll(port, "--expect", "OK", "--data-bits", "9"), port, "data bits")
        self.assert_error(poll(port, "--expect", "OK", "--stop-bits", "3"), port, "stop bits")
        self.assert_error(poll(port, "--expect", "OK", "--read-wait", "0"), port, "read wait")

    def test_input_errors_do_not_reach_the_device(self):
        with Sim("on X reply OK") as sim:
            self.assert_error(poll(sim.port, "--send", "X", "--expect", "A" * 21), sim.port, "21 bytes")
            ok = poll(sim.port, "--send", "X", "--expect", "OK")
            # The first bytes the device ever saw are the good poll's.
            self.assertEqual(sim.received_until(b"X"), b"X")
        self.assertEqual(ok.returncode, 0)

    def test_port_that_cannot_be_opened(self):
        port = "/dev/kestrin-no-such-port"
        self.assert_error(poll(port, "--expect", "OK"), port, "cannot open", "No such file")
        with tempfile.NamedTemporaryFile() as plain:
            self.assert_error(poll(plain.name, "--expect", "OK"), plain.name, "not a serial port")

    def test_error_as_json_too(self):
        port = "/dev/kestrin-no-such-port"
        result = poll(port, "--expect", "OK", "--json")
        self.assertEqual(result.returncode, 2)
        j = json.loads(result.stdout)
        self.assertEqual((j["status"], j["exit_code"], j["port"]), ("error", 2, port))
        self.assertIn("cannot open", j["error"])
        self.assertEqual(result.stderr, "", "the error is reported once, as the object")

    def test_missing_library_or_export(self):
        port = "/dev/kestrin-no-such-port"
        missing = kestrin("poll", port, "--expect", "OK", "--library", "/nonexistent/libkestrin.so")
        self.assert_error(missing, port, "cannot load", "/nonexistent/libkestrin.so")
        libm = ctypes.util.find_library("m")
        self.assertIsNotNone(libm)
        wrong = kestrin("poll", port, "--expect", "OK", "--library", libm)
        self.assert_error(wrong, port, "does not export", "_Z8pollUartPviPhi")
        for command in (["about"], ["--version"]):
            result = kestrin(*command, "--library", "/nonexistent/libkestrin.so")
            self.assertEqual(result.returncode, 2, command)
            self.assertIn("cannot load", result.stderr)

    def test_with_json_every_error_is_one_object_on_stdout_and_nothing_on_stderr(self):
        port = "/dev/kestrin-no-such-port"
        cases = [
            (["--baud", "0"], "baud rate must be at least 1", help_hint("poll")),
            (["--timeout", "soon"], "--timeout", help_hint("poll")),
            (["--baud", "abc"], "--baud", help_hint("poll")),
            (["--expect", "OK\\q"], "\\q", help_hint("poll")),
            (["--expect", "A" * 21], "21 bytes", help_hint("poll")),
            (["--bogus"], "--bogus", help_hint("poll")),
            (["--library", "/nonexistent/libkestrin.so"], "cannot load", "/nonexistent/libkestrin.so"),
            ([], "cannot open", "No such file"),
        ]
        for extra, *words in cases:
            args = ["--expect", "OK", *extra] if "--expect" not in extra else extra
            result = kestrin("poll", port, "--json", *args)
            with self.subTest(args=args):
                self.assertEqual(result.returncode, 2)
                self.assertEqual(result.stderr, "")
                j = error_object(self, result.stdout, *words)
                if "--baud" not in extra and "--bogus" not in extra:
                    self.assertEqual(j["port"], port, "what is known of the request comes along")

    def test_with_json_a_missing_port_is_an_object_too(self):
        # The port is missing, so nothing of the request is known.
        for args in (["poll", "--expect", "OK", "--json"], ["poll", "--json", "--timeout", "soon", "X"]):
            result = kestrin(*args)
            with self.subTest(args=args):
                self.assertEqual(result.returncode, 2)
                self.assertEqual(result.stderr, "")
                error_object(self, result.stdout, help_hint("poll"))
        required = error_object(self, kestrin("poll", "--expect", "OK", "--json").stdout, "port")
        self.assertNotIn("matched", required)

    def test_json_is_only_for_the_command_that_offers_it(self):
        # sim has no --json: its words cannot ask for an object.
        result = kestrin("sim", "--json", timeout=10)
        self.assertEqual((result.returncode, result.stdout), (2, ""))
        self.assertIn("--json", result.stderr)
        self.assertTrue(result.stderr.rstrip().endswith(help_hint("sim")), result.stderr)

    def test_mistakes_point_to_the_subcommands_help_and_other_errors_do_not(self):
        port = "/dev/kestrin-no-such-port"
        for args, command in ((["poll", "--expect", "OK"], "poll"),
                              (["poll", port, "--expect", "OK", "--baud", "0"], "poll"),
                              (["poll", port, "--expect", "OK", "--parity", "x"], "poll"),
                              (["monitor", port, "--duration", "forever"], "monitor"),
                              (["--library", "poll", "poll", port, "--bogus"], "poll"),
                              (["sim", "--rounds", "many"], "sim"),
                              (["sim", "on PING answer PONG"], "sim"),
                              (["ports", "extra"], "ports"),
                              (["frobnicate"], None)):
            result = kestrin(*args, timeout=10)
            with self.subTest(args=args):
                self.assertEqual(result.returncode, 2)
                lines = result.stderr.splitlines()
                self.assertEqual(len(lines), 1, result.stderr)
                self.assertTrue(lines[0].startswith("kestrin: "), lines[0])
                self.assertTrue(lines[0].endswith(help_hint(command)), lines[0])
        for result in (poll(port, "--expect", "OK"),
                       kestrin("about", "--library", "/nonexistent/libkestrin.so")):
            self.assertEqual(result.returncode, 2)
            self.assertFalse(is_usage_error(result.stderr), result.stderr)

    @unittest.skipUnless(hasattr(os, "geteuid") and os.geteuid() == 0 and shutil.which("setpriv"),
                         "needs root, to poll as a user without access")
    def test_permission_denied_names_the_dialout_group(self):
        as_nobody = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]
        probe = subprocess.run([*as_nobody, *command(KESTRIN, "--version", "--library", LIBRARY)], capture_output=True,
                               timeout=30)
        if probe.returncode != 0:
            self.skipTest("the build cannot be run by another user here")
        with Sim() as sim:  # its port belongs to root, and to the tty group
            result = subprocess.run([*as_nobody, *command(KESTRIN, "poll", sim.port, "--library", LIBRARY, "--expect",
                                                          "OK")],
                                    capture_output=True, text=True, timeout=30)
        self.assert_error(result, sim.port, "cannot open", "Permission denied", "dialout group")

    def test_usage_errors_exit_2(self):
        for args in ([], ["poll"], ["poll", "/dev/null", "--expect", "A", "--timeout", "soon"],
                     ["poll", "/dev/null", "--expect", "A", "--expect-hex", "41"], ["frobnicate"],
                     ["poll", "/dev/null", "--expect", "A", "--bogus"]):
            result = kestrin(*args)
            self.assertEqual(result.returncode, 2, args)
            self.assertNotEqual(result.stderr, "", args)


class Identity(unittest.TestCase):
    def test_about_shows_the_version_both_ways_and_the_text(self):
        result = kestrin("about", "--library", LIBRARY)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("Version:  16777216 (1.0.0.0)\n", result.stdout)
        self.assertRegex(result.stdout,
                         r"\nName:\t\tXMODEM\nVersion:\t1\.0\.0\.00\nDate:\t\t\w{3} [ \d]\d \d{4} \(\d\d:\d\d:\d\d\)\n\n"
                         r"Note:\t\t\n$")

    def test_about_as_json(self):
        result = kestrin("about", "--library", LIBRARY, "--json")
        self.assertEqual((result.returncode, result.stderr), (0, ""))
        j = json.loads(result.stdout)
        self.assertEqual((j["version"], j["library_version"], j["library"]), (16777216, "1.0.0.0", LIBRARY))
        self.assertTrue(j["about"].startswith("Name:\t\tXMODEM\n"), j["about"])
        self.assertEqual(kestrin("about", "--library", LIBRARY).stdout.split("\n\n", 1)[1], j["about"])

    def test_version_names_tool_and_library(self):
        result = kestrin("--version", "--library", LIBRARY)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertRegex(result.stdout, r"^kestrin \d+\.\d+\.\d+\S*, library 1\.0\.0\.0 \(16777216\) "
                                        + re.escape(LIBRARY) + "\n$", "both versions, on one line")

    def test_library_is_found_beside_the_executable(self):
        with tempfile.TemporaryDirectory() as folder:
            shutil.copy(KESTRIN, folder)
            shutil.copy(LIBRARY, os.path.join(folder, "libkestrin.so"))
            result = subprocess.run(command(os.path.join(folder, "kestrin"), "about"), capture_output=True,
                                    text=True, timeout=30)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn(f"Library:  {folder}/libkestrin.so\n", result.stdout)

    def test_help_on_every_subcommand(self):
        for command in ("poll", "about", "ports", "monitor", "sim", "demo"):
            result = kestrin(command, "--help")
            self.assertEqual(result.returncode, 0, command)
            self.assertIn("Usage:", result.stdout.replace("usage:", "Usage:"), command)
        self.assertIn("on TEXT reply TEXT", kestrin("sim", "--help").stdout)
        self.assertIn("--expect", kestrin("poll", "--help").stdout)

    def test_every_subcommands_help_ends_with_examples_that_parse(self):
        port = "/dev/kestrin-no-such-port"
        for command in ("poll", "about", "ports", "monitor", "sim", "demo"):
            found = check_help_examples(self, kestrin(command, "--help").stdout, command)
            for example in found:
                # Never a real device: the example's port becomes one that is not there.
                args = [port if arg.startswith("/dev/tty") else arg for arg in example]
                with self.subTest(example=example):
                    status, output = run_example(args)
                    self.assertFalse(is_usage_error(output), output)
                    self.assertIn(status, (0, 2), output)
                    if status == 2:
                        self.assertRegex(output, "cannot open|cannot load", "only for want of a port or library")

    def test_ports_lists_device_paths(self):
        result = kestrin("ports")
        self.assertEqual(result.returncode, 0, result.stderr)
        for line in result.stdout.splitlines():
            # A port, or below it its stable name.
            self.assertRegex(line, r"^(/dev/|    /dev/serial/by-id/)")


class LiveStatus(unittest.TestCase):
    def run_with_stderr_terminal(self, args):
        master, slave = pty.openpty()
        try:
            process = subprocess.Popen(command(KESTRIN, *args), stdout=subprocess.PIPE, stderr=slave,
                                       stdin=subprocess.DEVNULL)
            os.close(slave)
            seen = b""
            while True:
                ready, _, _ = select.select([master], [], [], 20)
                if not ready:
                    break
                try:
                    chunk = os.read(master, 4096)
                except OSError:  # the terminal is gone: the tool has exited
                    break
                if not chunk:
                    break
                seen += chunk
            out = process.communicate(timeout=20)[0]
            return process.returncode, out.decode(), seen.decode()
        finally:
            os.close(master)

    def test_status_line_on_a_terminal_is_updated_then_wiped(self):
        with Sim("on PING reply PONG after 1200") as sim:
            status, out, err = self.run_with_stderr_terminal(
                ["poll", sim.port, "--library", LIBRARY, "--send", "PING", "--expect", "PONG", "--timeout", "3000"])
        self.assertEqual(status, 0, out + err)
        shown = re.findall("\r" + re.escape(f"kestrin: polling {sim.port}: ") + r"(\d+\.\d) s of 3\.0 s", err)
        self.assertGreaterEqual(len(set(shown)), 2, f"the line must be updated in place: {err!r}")
        self.assertGreaterEqual(float(shown[0]), 0.5, "nothing before half a second")
        self.assertRegex(err, r"\r {20,}\r$", "the line must be wiped at the end")

    def test_nothing_of_it_when_stderr_is_not_a_terminal(self):
        with Sim("on PING reply PONG after 700") as sim:
            result = poll(sim.port, "--send", "PING", "--expect", "PONG", "--timeout", "3000")
        self.assertEqual(result.returncode, 0)
        self.assertEqual(result.stderr, "")

    def test_short_polls_show_nothing_even_on_a_terminal(self):
        with Sim("on PING reply PONG") as sim:
            status, out, err = self.run_with_stderr_terminal(
                ["poll", sim.port, "--library", LIBRARY, "--send", "PING", "--expect", "PONG"])
        self.assertEqual(status, 0)
        self.assertEqual(err, "")


class Simulator(unittest.TestCase):
    def test_link_is_made_and_removed(self):
        with tempfile.TemporaryDirectory() as folder:
            link = os.path.join(folder, "device")
            with Sim("on A reply OK", extra=("--link", link)) as sim:
                self.assertEqual(os.readlink(link), sim.port)
                result = poll(link, "--send", "A", "--expect", "OK")
                self.assertEqual(result.returncode, 0, result.stderr)
            self.assertFalse(os.path.lexists(link))

    def test_link_never_replaces_a_real_file(self):
        with tempfile.NamedTemporaryFile() as plain:
            result = kestrin("sim", "--link", plain.name, timeout=10)
            self.assertEqual(result.returncode, 2)
            self.assertIn("not a symbolic link", result.stderr)

    def test_rounds_end_the_device_by_itself_after_its_last_reply_is_read(self):
        sim = Sim("on PING reply PONG\\r\\nTRAILER", extra=("--rounds", "3"))
        results = [poll(sim.port, "--send", "PING", "--expect", "PONG\\r\\n") for _ in range(3)]
        self.assertEqual([r.returncode for r in results], [0, 0, 0], [r.stdout for r in results])
        self.assertEqual(sim.process.wait(timeout=10), 0)
        sim.stop()

    def test_the_last_reply_is_never_cut_off_by_the_exit(self):
        # The device exits right after its last reply: closing the terminal
        # then must not throw the unread reply away.
        sims = [Sim("on GO reply DONE\\r\\nTRAILER", extra=("--rounds", "1")) for _ in range(12)]
        try:
            with ThreadPoolExecutor(max_workers=4) as pool:
                results = list(pool.map(lambda sim: poll(sim.port, "--send", "GO", "--expect", "DONE\\r\\n",
                                                         "--timeout", "0"), sims))
            self.assertEqual([r.returncode for r in results], [0] * len(sims), [r.stdout for r in results])
            self.assertEqual([s.process.wait(timeout=15) for s in sims], [0] * len(sims))
        finally:
            for sim in sims:
                sim.stop()

    def test_interrupt_and_hangup_stop_it_cleanly(self):
        for stop in (signal.SIGINT, signal.SIGHUP):
            sim = Sim()
            sim.process.send_signal(stop)
            self.assertEqual(sim.process.wait(timeout=10), 0, stop)
            sim.stop()

    def test_script_file_and_bad_scripts(self):
        with tempfile.NamedTemporaryFile("w", suffix=".sim") as script:
            script.write("# the device\non \"HELLO THERE\" reply \"GENERAL\\r\"\n")
            script.flush()
            with Sim(extra=("--script", script.name)) as sim:
                result = poll(sim.port, "--send", "HELLO THERE", "--expect", "GENERAL\\r")
            self.assertEqual(result.returncode, 0, result.stdout)
        bad = kestrin("sim", "on PING reply PONG", "on PING answer PONG", timeout=10)
        self.assertEqual(bad.returncode, 2)
        self.assertIn("rule 2", bad.stderr)
        self.assertIn("answer", bad.stderr)
        self.assertEqual(bad.stdout, "", "no port is offered for a bad script")

    def test_several_devices_at_once(self):
        sims = [Sim(f"on ID? reply DEV{i}") for i in range(4)]
        try:
            self.assertEqual(len({s.port for s in sims}), 4)
            for i, sim in enumerate(sims):
                result = poll(sim.port, "--send", "ID?", "--expect", f"DEV{i}")
                self.assertEqual(result.returncode, 0, result.stdout)
        finally:
            for sim in sims:
                self.assertEqual(sim.stop(), 0)


class Trace(unittest.TestCase):
    def test_a_wrong_reply_is_shown_byte_by_byte_before_the_result(self):
        with Sim("on PING reply NOPE repeat 30 every 40") as sim:
            result = poll(sim.port, "-s", "PING", "-e", "OKAY", "-t", "200ms", "--trace")
        self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
        groups = trace_read(result.stdout, sim.port)
        self.assertIsNotNone(groups, result.stdout)
        # Lines group bytes by when they came; a loaded machine or an emulator
        # may split a reply over two.
        read = b"".join(data for _, data in groups)
        self.assertGreaterEqual(len(read) // 4, 4, "an attempt every 40 ms within the budget")
        self.assertEqual(read, b"NOPE" * (len(read) // 4), result.stdout)
        times = [ms for ms, _ in groups]
        self.assertEqual(times, sorted(times))
        self.assertGreater(times[-1] - times[0], 100, "the times are when the bytes came")
        lines = result.stdout.splitlines()
        self.assertTrue(lines[0].startswith(f"{sim.port}: the library read "), "the trace comes first")
        self.assertRegex(lines[-1], no_match_line(sim.port, 200), "the result comes last")

    def test_in_json_every_byte_with_its_time_and_the_match_unchanged(self):
        with Sim("on PING reply NO\\r\\nOK\\r\\n after 30") as sim:
            traced = poll(sim.port, "-s", "PING", "-e", "OK\\r\\n", "-t", "1s", "--trace", "--json")
            plain = poll(sim.port, "-s", "PING", "-e", "OK\\r\\n", "-t", "1s", "--json")
        for result in (traced, plain):
            self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        j, k = json.loads(traced.stdout), json.loads(plain.stdout)
        # Attempts of four bytes: "NO\r\n", then the match.
        self.assertEqual(trace_bytes(j["trace"]), b"NO\r\nOK\r\n")
        self.assertGreaterEqual(j["trace"][0]["ms"], 0)
        self.assertEqual((j["status"], j["result"]), (k["status"], k["result"]))
        self.assertNotIn("trace", k)


class Busy(unittest.TestCase):
    def test_a_port_another_poll_holds_is_busy_and_its_poll_is_not_disturbed(self):
        with Sim("on PING reply PONG after 3s") as sim:
            first = start_poll(sim.port, "-s", "PING", "-e", "PONG", "-t", "6s")
            sim.received_until(b"PING")
            second = poll(sim.port, "-s", "PING", "-e", "PONG")
            second_json = poll(sim.port, "-e", "PONG", "--json")
            monitor = kestrin("monitor", sim.port, "-d", "100ms")
            out, err = first.communicate(timeout=20)
        self.assertEqual(second.returncode, 2)
        self.assertRegex(second.stderr, "^kestrin: " + re.escape(sim.port) + r": busy: .+\n$")
        error_object(self, second_json.stdout, "busy", status="busy")
        self.assertEqual(json.loads(second_json.stdout)["port"], sim.port)
        self.assertEqual(monitor.returncode, 2)
        self.assertIn("busy", monitor.stderr)
        self.assertEqual(first.returncode, 0, out + err)
        self.assertRegex(out, matched_line(sim.port), "no byte was taken from the first poll")

    def test_another_programs_lock_or_exclusive_mode_makes_it_busy(self):
        with Sim("on A reply OK") as sim:
            fd = os.open(sim.port, os.O_RDWR | os.O_NOCTTY)
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                locked = poll(sim.port, "-s", "A", "-e", "OK")
                fcntl.flock(fd, fcntl.LOCK_UN)
                # qemu-user passes no TIOCGEXCL on: there the tool, as
                # root, cannot see another program's exclusive mode.
                if not EMULATOR:
                    fcntl.ioctl(fd, termios.TIOCEXCL)
                    exclusive = poll(sim.port, "-s", "A", "-e", "OK")
                    fcntl.ioctl(fd, termios.TIOCNXCL)
                    self.assertEqual(exclusive.returncode, 2)
                    self.assertIn(": busy: ", exclusive.stderr)
                free = poll(sim.port, "-s", "A", "-e", "OK")
            finally:
                os.close(fd)
        self.assertEqual(locked.returncode, 2)
        self.assertRegex(locked.stderr, re.escape(sim.port) + ": busy: .*lock")
        self.assertEqual(free.returncode, 0, free.stderr)


class Restore(unittest.TestCase):
    def test_the_ports_settings_come_back_after_a_match_an_error_and_ctrl_c(self):
        with Sim("on PING reply PONG", "on SLOW reply LATE after 5s") as sim, PortHolder(sim.port) as holder:
            matched = poll(sim.port, "-s", "PING", "-e", "PONG", "-b", any_rate(), "-p", "E", "--flow", "rtscts")
            self.assertEqual(matched.returncode, 0, matched.stderr)
            self.assertEqual(holder.settings(), holder.before, "after a match")
            failed = poll(sim.port, "-s", "PING", "-e", "PONG", "--dtr", "on")
            self.assertEqual(failed.returncode, 2)
            self.assertIn("DTR", failed.stderr)
            self.assertEqual(holder.settings(), holder.before, "after a failed open")
            running = start_poll(sim.port, "-s", "SLOW", "-e", "LATE", "-t", "10s")
            status, out, err = interrupt_when_received(sim, running, b"SLOW")
            self.assertEqual(status, 130, out + err)
            self.assertEqual(err, f"kestrin: {sim.port}: interrupted\n")
            self.assertEqual(holder.settings(), holder.before, "after Ctrl-C")
            again = poll(sim.port, "-s", "PING", "-e", "PONG")
            self.assertEqual(again.returncode, 0, "nothing of the interrupted poll holds the port: " + again.stderr)

    def test_ctrl_c_with_json_is_one_interrupted_object(self):
        with Sim("on PING reply PONG times 1", "on PING reply PONG after 5s") as sim:
            running = start_poll(sim.port, "-s", "PING", "-e", "PONG", "-t", "10s", "--json", "--repeat", "3")
            sim.received_until(b"PING")
            status, out, err = interrupt_when_received(sim, running, b"PING", signal.SIGTERM)
        self.assertEqual((status, err), (130, ""))
        lines = out.splitlines()
        self.assertEqual(len(lines), 1, out)
        j = json.loads(lines[0])
        self.assertEqual((j["status"], j["exit_code"], j["port"]), ("interrupted", 130, sim.port))
        self.assertEqual([p["status"] for p in j["polls"]], ["matched"], "the polls done so far")
        self.assertEqual(j["summary"]["matched"], 1)

    def test_a_monitor_stopped_by_ctrl_c_puts_them_back_too(self):
        with Sim("on HI reply HELLO") as sim, PortHolder(sim.port) as holder:
            running = subprocess.Popen(command(KESTRIN, "monitor", sim.port, "-s", "HI", "-b", "115200", "--json"),
                                       stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
            status, out, err = interrupt_when_received(sim, running, b"HI")
            self.assertEqual(holder.settings(), holder.before)
        self.assertEqual((status, err), (130, ""))
        objects = [json.loads(line) for line in out.splitlines()]
        self.assertEqual(objects[0]["text"], "HELLO")
        self.assertEqual((objects[-1]["status"], objects[-1]["exit_code"], objects[-1]["bytes"]),
                         ("interrupted", 130, 5))

    def test_ctrl_c_wipes_the_live_status_line_first(self):
        with Sim("on PING reply PONG after 5s") as sim:
            master, slave = pty.openpty()
            try:
                running = start_poll(sim.port, "-s", "PING", "-e", "PONG", "-t", "10s", stderr=slave)
                os.close(slave)
                sim.received_until(b"PING")
                seen = b""
                while b"polling" not in seen:
                    ready, _, _ = select.select([master], [], [], 10)
                    self.assertTrue(ready, "no live status line")
                    seen += os.read(master, 4096)
                running.send_signal(signal.SIGINT)
                while True:
                    ready, _, _ = select.select([master], [], [], 10)
                    try:
                        chunk = os.read(master, 4096) if ready else b""
                    except OSError:
                        break
                    if not chunk:
                        break
                    seen += chunk
                running.communicate(timeout=10)
            finally:
                os.close(master)
        self.assertEqual(running.returncode, 130)
        self.assertRegex(seen.decode(), r"\r {20,}\r" + re.escape(f"kestrin: {sim.port}: interrupted") + r"\r?\n$")


class Late(unittest.TestCase):
    def test_a_match_after_the_budget_is_late_and_strict_fails_it(self):
        with Sim("on PING reply PONG after 600", "on QUICK reply PONG") as sim:
            late = poll(sim.port, "-s", "PING", "-e", "PONG", "-t", "200")
            late_json = poll(sim.port, "-s", "PING", "-e", "PONG", "-t", "200", "--json")
            strict = poll(sim.port, "-s", "PING", "-e", "PONG", "-t", "200", "--strict", "--json")
            timely = poll(sim.port, "-s", "QUICK", "-e", "PONG", "-t", "2s", "--strict", "--json")
        self.assertEqual(late.returncode, 0, late.stderr)
        found = re.fullmatch(late_line(sim.port, 200) + "\n", late.stdout)
        self.assertIsNotNone(found, late.stdout)
        self.assertGreater(int(found.group(1)), 200)
        j = json.loads(late_json.stdout)
        self.assertEqual((j["status"], j["late"], j["exit_code"]), ("matched", True, 0))
        self.assertEqual(strict.returncode, 1)
        self.assertEqual((json.loads(strict.stdout)["late"], json.loads(strict.stdout)["exit_code"]), (True, 1))
        self.assertEqual(timely.returncode, 0)
        self.assertEqual(json.loads(timely.stdout)["late"], False)


class DeviceGone(unittest.TestCase):
    # The library cannot tell a hung-up port from a silent one, so each poll
    # here waits out its 5 s idle limit; the three run side by side.
    def test_a_device_that_hangs_up_during_the_poll_is_an_error_of_its_own(self):
        def text(sim):
            return poll(sim.port, "-s", "PING", "-e", "PONG", "-t", "500")

        def as_json(sim):
            return poll(sim.port, "-s", "PING", "-e", "PONG", "-t", "500", "--json")

        def repeated(sim):
            return poll(sim.port, "-s", "PING", "-e", "PONG", "-t", "500", "--repeat", "5")

        sims = [Sim("on PING hangup after 100"), Sim("on PING hangup after 100"),
                Sim("on PING reply PONG times 2", "on PING hangup after 100")]
        try:
            with ThreadPoolExecutor(max_workers=3) as pool:
                results = [pool.submit(run, sim) for run, sim in zip((text, as_json, repeated), sims)]
                text_result, json_result, repeat_result = (r.result() for r in results)
            # A device that hung up is gone: its sim ends by itself.
            self.assertEqual([s.process.wait(timeout=10) for s in sims], [0, 0, 0])
        finally:
            for sim in sims:
                sim.stop()
        port = sims[0].port
        self.assertEqual(text_result.returncode, 2, text_result.stdout)
        self.assertRegex(text_result.stderr, "^kestrin: " + re.escape(port) + ": the device went away")
        j = error_object(self, json_result.stdout, "went away", status="device_gone")
        self.assertEqual(j["port"], sims[1].port)
        self.assertEqual(repeat_result.returncode, 2)
        self.assertEqual(summary_counts(repeat_result.stdout, sims[2].port), (3, 2, 0, 0, 1),
                         "the run ends at the poll that found the device gone: " + repeat_result.stdout)
        self.assertIn("went away", repeat_result.stderr)

    def test_monitor_reports_it_at_once(self):
        # Timed from the request, not from the sim's start: the monitor
        # throws away whatever came before it.
        with Sim("on HI reply HELLO after 100", "on HO hangup after 400") as sim:
            result = kestrin("monitor", sim.port, "-s", "HIHO", "--json")
        self.assertEqual(result.returncode, 2, result.stdout + result.stderr)
        lines = [json.loads(line) for line in result.stdout.splitlines()]
        self.assertEqual(lines[0]["text"], "HELLO")
        self.assertEqual((lines[-1]["status"], lines[-1]["port"]), ("device_gone", sim.port))


class Repeat(unittest.TestCase):
    def test_a_summary_of_matches_misses_and_their_times(self):
        with Sim("on PING reply PONG times 2", "on PING reply NOPE repeat 10 every 30") as sim:
            result = poll(sim.port, "-s", "PING", "-e", "PONG", "-t", "100", "--repeat", "3")
        self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
        lines = result.stdout.splitlines()
        self.assertRegex(lines[0], r"^\[1/3\] " + matched_line(sim.port))
        self.assertRegex(lines[1], r"^\[2/3\] " + matched_line(sim.port))
        self.assertRegex(lines[2], r"^\[3/3\] " + no_match_line(sim.port, 100))
        self.assertEqual(summary_counts(result.stdout, sim.port), (3, 2, 0, 1, 0))
        self.assertRegex(lines[-1], re.escape(sim.port) + r": time to match: min \d+ ms, median \d+ ms, "
                                                         r"p90 \d+ ms, max \d+ ms$")

    def test_as_json_each_poll_and_the_summary(self):
        with Sim("on PING reply PONG times 3", "on PING reply PONG after 400") as sim:
            result = poll(sim.port, "-s", "PING", "-e", "PONG", "-t", "200", "-r", "4", "--json", "--trace")
            strict = poll(sim.port, "-s", "PING", "-e", "PONG", "-t", "200", "-r", "1", "--strict", "--json")
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        lines = result.stdout.splitlines()
        self.assertEqual(len(lines), 1, "one object for the whole run")
        j = json.loads(lines[0])
        self.assertEqual((j["status"], j["exit_code"], j["repeat"]), ("matched", 0, 4))
        self.assertEqual([p["poll"] for p in j["polls"]], [1, 2, 3, 4])
        self.assertEqual([p["late"] for p in j["polls"]], [False, False, False, True])
        self.assertEqual([trace_bytes(p["trace"]) for p in j["polls"]], [b"PONG"] * 4)
        summary = j["summary"]
        self.assertEqual((summary["polls"], summary["matched"], summary["late"], summary["no_match"],
                          summary["errors"]), (4, 4, 1, 0, 0))
        times = sorted(p["elapsed_ms"] for p in j["polls"])
        self.assertEqual((summary["latency_ms"]["min"], summary["latency_ms"]["max"]), (times[0], times[-1]))
        self.assertEqual((strict.returncode, json.loads(strict.stdout)["status"]), (1, "no_match"),
                         "--strict: the late match fails the run")


class Ports(unittest.TestCase):
    def test_json_is_an_array_of_objects_with_a_port_as_the_text_lists_them(self):
        listed = kestrin("ports", "--json")
        text = kestrin("ports")
        self.assertEqual((listed.returncode, listed.stderr), (0, ""))
        ports = json.loads(listed.stdout)
        self.assertIsInstance(ports, list)
        for port in ports:
            self.assertTrue(port["port"].startswith("/dev/"), port)
            self.assertLessEqual({"description", "manufacturer", "serial_number", "usb_vendor_id",
                                  "usb_product_id", "stable_name"}, set(port))
        named = [line.split(":")[0] for line in text.stdout.splitlines() if not line.startswith(" ")]
        self.assertEqual(named, [port["port"] for port in ports])

    @unittest.skipUnless(shutil.which("unshare") and hasattr(os, "geteuid") and os.geteuid() == 0,
                         "needs root and unshare, to hide this machine's ports")
    def test_a_machine_with_no_ports(self):
        # The tool in a mount namespace where sysfs shows no ttys at all.
        hide = "mount -t tmpfs none /sys/class/tty && { [ ! -d /dev/serial ] || mount -t tmpfs none /dev/serial; }"
        probe = subprocess.run(["unshare", "-m", "sh", "-c", hide], capture_output=True, timeout=30)
        if probe.returncode != 0:
            self.skipTest("mount namespaces are not allowed here: " + probe.stderr.decode())
        runs = [subprocess.run(["unshare", "-m", "sh", "-c", f'{hide} && exec "$@"', "sh",
                                *command(KESTRIN, "ports", *extra.split())],
                               capture_output=True, text=True, timeout=30) for extra in ("--json", "")]
        self.assertEqual((runs[0].returncode, runs[0].stdout, runs[0].stderr), (0, "[]\n", ""))
        self.assertEqual((runs[1].returncode, runs[1].stdout), (0, ""))
        self.assertEqual(runs[1].stderr, "kestrin: no serial ports found\n")


class Monitor(unittest.TestCase):
    def test_what_arrives_with_its_time_as_hex_and_text(self):
        with Sim("on HI reply OK\\r\\n after 100", "on HO reply TICK after 300") as sim:
            result = kestrin("monitor", sim.port, "-s", "HIHO", "-d", "600ms")
            self.assertEqual(sim.received_until(b"HIHO"), b"HIHO")
        self.assertEqual(result.returncode, 0, result.stderr)
        rows = [re.fullmatch(r' +(\d+\.\d{3}) s  ([0-9a-f ]+)  "(.*)"', line) for line in result.stdout.splitlines()]
        self.assertTrue(all(rows), result.stdout)
        self.assertEqual([(row.group(2), row.group(3)) for row in rows],
                         [("4f 4b 0d 0a", "OK\\r\\n"), ("54 49 43 4b", "TICK")])
        first, second = (float(row.group(1)) for row in rows)
        self.assertGreater(second - first, 0.1, "the times are when the bytes came")
        self.assertRegex(result.stderr, r"^kestrin: monitoring " + re.escape(sim.port) + r" at 9600 baud\n"
                                        r"kestrin: " + re.escape(sim.port) + r": 8 bytes in 0\.\d s\n$")

    def test_json_lines_then_the_end(self):
        with Sim("on GO reply AB after 50 gap 100") as sim, PortHolder(sim.port) as holder:
            result = kestrin("monitor", sim.port, "-s", "GO", "--duration", "400ms", "--json", "-b", "19200")
            self.assertEqual(holder.settings(), holder.before, "monitor puts the settings back too")
        self.assertEqual((result.returncode, result.stderr), (0, ""))
        objects = [json.loads(line) for line in result.stdout.splitlines()]
        self.assertEqual([o.get("text") for o in objects[:-1]], ["A", "B"])
        self.assertLess(objects[0]["ms"], objects[1]["ms"])
        self.assertEqual((objects[-1]["status"], objects[-1]["bytes"], objects[-1]["exit_code"]), ("done", 2, 0))
        self.assertGreaterEqual(objects[-1]["elapsed_ms"], 350)


class Options(unittest.TestCase):
    def test_any_baud_rate_parity_by_letter_flow_and_times_with_units(self):
        with Sim("on A reply OK") as sim:
            result = poll(sim.port, "-s", "A", "-e", "OK", "-b", any_rate(), "-p", "m", "--flow", "XonXoff",
                          "--data-bits", "7", "-t", "1.5s", "--read-wait", "200ms", "-j")
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        j = json.loads(result.stdout)
        self.assertEqual((j["baud"], j["parity"], j["flow"], j["data_bits"], j["timeout_ms"], j["read_wait_ms"]),
                         (int(any_rate()), "mark", "xonxoff", 7, 1500, 200))
        self.assertEqual((j["dtr"], j["rts"]), ("keep", "keep"))


class Demo(unittest.TestCase):
    def test_demo_narrates_a_match_then_a_mismatch(self):
        started = time.monotonic()
        result = kestrin("demo", "--library", LIBRARY, timeout=20)
        took = time.monotonic() - started
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        port = re.search(r"on (/dev/pts/\d+),", result.stdout).group(1)
        self.assertRegex(result.stdout, "pollUart returned 1: " + matched_line(port))
        self.assertRegex(result.stdout, "pollUart returned 0: " + no_match_line(port, 1500))
        self.assertLess(took, 10)


if __name__ == "__main__":
    arguments = sys.argv[1:]
    if arguments[:1] == ["--emulator"] and len(arguments) >= 2:
        EMULATOR = shlex.split(arguments[1])
        arguments = arguments[2:]
    if len(arguments) < 2:
        sys.exit(__doc__)
    KESTRIN, LIBRARY = os.path.abspath(arguments[0]), os.path.abspath(arguments[1])
    unittest.main(argv=[sys.argv[0], *arguments[2:]], verbosity=2)
