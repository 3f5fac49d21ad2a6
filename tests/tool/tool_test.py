#!/usr/bin/env python3
"""The kestrin tool end to end: each scenario written once and run by every
runner it applies to (tool_runners.py).

  tool_test.py native KESTRIN LIBRARY [GROUP...]
  tool_test.py qemu EMULATOR KESTRIN LIBRARY [GROUP...]
      the Linux tool, here or through EMULATOR (e.g. "qemu-aarch64 -L /")
  tool_test.py wine KESTRIN_EXE WINEPREFIX WINE [GROUP...]
      kestrin.exe under Wine, kestrin.dll beside it
  tool_test.py groups native|qemu|wine
      the groups with a scenario for that runner, one a line (for CMake)

A group is a Scenarios class, a scenario one of its test_ methods. A
scenario runs under every runner unless it (or its group) is marked
@runs_on(...), which names the runners and why; elsewhere it reports itself
skipped with that reason. A scenario makes its devices with self.device(SCRIPT)
(scripted_device.py: expect, wait, send, drip, hangup, played from Python on
a pseudo-terminal on every platform) and runs the tool with self.kestrin(),
self.poll() or self.runner.start(). Python 3 standard library only.
"""

import fcntl
import contextlib
import json
import os
import pty
import queue
import random
import re
import select
import shlex
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import termios
import threading
import time
import tty
import unittest
from xml.etree import ElementTree
from concurrent.futures import ThreadPoolExecutor

from tool_checks import (check_help_examples, error_object, help_hint, is_usage_error, late_line, matched_line,
                         no_match_line, summary_counts, trace_bytes, trace_read, unescape)
from tool_runners import (EVERY, LINUX, NATIVE, QEMU, WINE, LinuxRunner, Result, UsbAdapter, WineRunner, dual_adapter,
                          identical_adapters, port_number)

RUNNER = None


def runs_on(*kinds, why):
    """Marks a scenario or a group as one for these runners only, and why."""
    def mark(item):
        item.runs_on, item.why = kinds, why
        return item
    return mark


def applies(item, kind):
    return kind in getattr(item, "runs_on", EVERY)


class Scenarios(unittest.TestCase):
    def setUp(self):
        test = getattr(self, self._testMethodName)
        where = test if hasattr(test, "runs_on") else type(self)
        if not applies(where, RUNNER.kind):
            self.skipTest(f"not under {RUNNER.kind}: {where.why}")
        self.runner = RUNNER
        self.addCleanup(RUNNER.stop_all)

    def device(self, script=""):
        return self.runner.device(script)

    def kestrin(self, *args, timeout=30):
        return self.runner.run(*args, timeout=timeout)

    def poll(self, port, *args, timeout=30):
        return self.runner.poll(port, *args, timeout=timeout)

    def side_by_side(self, *calls):
        """Runs the calls at once (each waits out something): their results, in order."""
        with ThreadPoolExecutor(max_workers=len(calls)) as pool:
            futures = [pool.submit(call) for call in calls]
            return [future.result() for future in futures]

    def each(self, function, cases):
        """function(case) for every case, four at a time: the results, in order."""
        with ThreadPoolExecutor(max_workers=4) as pool:
            return list(pool.map(function, cases))

    def assert_put_back(self, device, before, during, rates):
        """The port ran at 115200 baud with two stop bits while the tool had
        it, and was left as it was found."""
        self.assertEqual(rates, (115200, 115200))
        self.assertTrue(during[2] & termios.CSTOPB)
        self.assertNotEqual(self.runner.kept(during), before, "the tool's settings never reached the port")
        self.assertEqual(self.runner.kept(device.settings()), before)


def json_lines(text):
    return [json.loads(line) for line in text.splitlines()]


# ---- Linux only: kestrin sim as the device ----------------------------------------

class Sim:
    """`kestrin sim --trace RULES...`, read line by line on a thread."""

    def __init__(self, *rules, extra=()):
        self.process = subprocess.Popen(RUNNER.command(RUNNER.kestrin, "sim", "--trace", *extra, *rules),
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE, stdin=subprocess.DEVNULL)
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
        return bytes.fromhex(self.wait_for_line(prefix, timeout))

    def wait_for_line(self, prefix, timeout=5):
        """The rest of the next trace line that starts with `prefix` and a space ("back /dev/pts/3")."""
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
                return line[len(prefix) + 1:]

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


def read_for(fd, wanted, seconds):
    """Up to `wanted` bytes from `fd`, whatever came within `seconds`."""
    got = b""
    until = time.monotonic() + seconds
    while len(got) < wanted:
        ready, _, _ = select.select([fd], [], [], max(0, until - time.monotonic()))
        if not ready:
            break
        got += os.read(fd, wanted - len(got))
    return got


def run_example(args):
    """Runs `kestrin ARGS` as a help example gives it: (status, output).

    A sim runs until it is stopped, so it is stopped once its port is there.
    """
    if args[0] != "sim":
        result = RUNNER.run(*args)
        return result.status, result.output
    process = subprocess.Popen(RUNNER.command(RUNNER.kestrin, *args), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
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


def run_with_stderr_terminal(args):
    """Runs `kestrin ARGS` with stderr on a terminal: (status, stdout, what the terminal showed)."""
    master, slave = pty.openpty()
    try:
        process = subprocess.Popen(RUNNER.command(RUNNER.kestrin, *args), stdout=subprocess.PIPE, stderr=slave,
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


# ---- The scenarios ------------------------------------------------------------------

class Poll(Scenarios):
    def test_matching_reply_exits_0_with_the_time(self):
        # The device's wait starts when the request reaches it, a moment
        # before the poll starts, so the reported time may be a little short
        # of it on a loaded machine, but never far.
        with self.device("expect:PING\\r\\n wait:400 send:PONG\\r\\nTRAILER") as dev:
            result = self.poll(dev.port, "--send", "PING\\r\\n", "--expect", "PONG\\r\\n", "--timeout", "3000")
        self.assertEqual(result.status, 0, result)
        found = re.fullmatch(matched_line(dev.port) + "\n", result.stdout)
        self.assertIsNotNone(found, result.stdout)
        self.assertGreaterEqual(int(found.group(1)), 200)
        self.assertLess(int(found.group(1)), 3000)
        self.assertEqual(result.stderr, "")

    def test_wrong_replies_exit_1_once_the_budget_is_spent(self):
        with self.device("expect:PING " + " ".join(["send:NOPE wait:50"] * 40)) as dev:
            result = self.poll(dev.port, "--send", "PING", "--expect", "OKAY", "--timeout", "300")
        self.assertEqual(result.status, 1, result)
        found = re.fullmatch(no_match_line(dev.port, 300) + "\n", result.stdout)
        self.assertIsNotNone(found, result.stdout)
        self.assertGreaterEqual(int(found.group(1)), 300)
        self.assertLess(int(found.group(1)), 2000)

    def test_a_match_after_a_wrong_reply_still_counts(self):
        with self.device("expect:PING send:NOPE expect:PING send:OKAY") as dev:
            first = self.poll(dev.port, "--send", "PING", "--expect", "OKAY", "--timeout", "0")
            second = self.poll(dev.port, "--send", "PING", "--expect", "OKAY", "--timeout", "0")
        self.assertEqual((first.status, second.status), (1, 0), first.stdout + second.stdout)

    def test_json_object_for_a_match_and_for_no_match(self):
        with self.device("expect:A send:OK expect:B " + " ".join(["send:NO wait:50"] * 20)) as dev:
            matched = self.poll(dev.port, "--send", "A", "--expect", "OK", "--json", "--baud", "115200")
            missed = self.poll(dev.port, "--send", "B", "--expect", "OK", "--timeout", "200", "--json")
        self.assertEqual(matched.status, 0, matched)
        j = json.loads(matched.stdout)
        self.assertEqual(len(matched.stdout.strip().splitlines()), 1)
        self.assertEqual((j["status"], j["matched"], j["result"], j["exit_code"]), ("matched", True, 1, 0))
        self.assertEqual((j["port"], j["expect_hex"], j["sent_hex"], j["baud"]), (dev.port, "4f 4b", "41", 115200))
        self.assertEqual(j["library_version"], "1.0.0.0")
        self.assertIsInstance(j["elapsed_ms"], int)

        self.assertEqual(missed.status, 1, missed)
        k = json.loads(missed.stdout)
        self.assertEqual((k["status"], k["matched"], k["result"], k["exit_code"]), ("no_match", False, 0, 1))
        self.assertGreaterEqual(k["elapsed_ms"], 200)
        self.assertEqual(k["timeout_ms"], 200)

    def test_json_with_hex_and_escapes(self):
        with self.device("expect:\\x01\\xff send:\\r\\n\\x00OK") as dev:
            result = self.poll(dev.port, "--send-hex", "01 ff", "--expect", "\\r\\n\\x00OK", "--json",
                               "--baud", "115200", "--parity", "even")
        self.assertEqual(result.status, 0, result)
        j = json.loads(result.stdout)
        self.assertEqual((j["status"], j["matched"], j["exit_code"]), ("matched", True, 0))
        self.assertEqual((j["port"], j["sent_hex"], j["expect_hex"]), (dev.port, "01 ff", "0d 0a 00 4f 4b"))
        self.assertEqual((j["baud"], j["parity"], j["library_version"]), (115200, "even", "1.0.0.0"))

    def test_send_reaches_the_device_with_its_escapes(self):
        with self.device("expect:\\x01\\\\ send:OK") as dev:
            result = self.poll(dev.port, "--send", "A\\tB\\r\\n\\x01\\\\", "--expect", "OK")
        self.assertEqual(dev.heard, b"A\tB\r\n\x01\\")
        self.assertEqual(result.status, 0, result)

    def test_send_hex_and_expect_hex(self):
        with self.device("expect:\\x7f send:\\r\\n\\x00\\xff") as dev:
            result = self.poll(dev.port, "--send-hex", "00 ff 7f", "--expect-hex", "0d:0a:00:ff")
        self.assertEqual(dev.heard, b"\x00\xff\x7f")
        self.assertEqual(result.status, 0, result)

    def test_escapes_in_the_expected_reply(self):
        with self.device("expect:GO send:\\r\\n\\t\\x00\\xff\\\\") as dev:
            result = self.poll(dev.port, "--send", "GO", "--expect", "\\r\\n\\t\\x00\\xFF\\\\")
        self.assertEqual(result.status, 0, result)

    def test_without_send_the_device_speaks_unprompted(self):
        with self.device(" ".join(["send:READY\\r\\n wait:50"] * 60)) as dev:
            result = self.poll(dev.port, "--expect", "READY\\r\\n", "--timeout", "2000")
        self.assertEqual(result.status, 0, result)

    def test_stale_input_is_discarded_before_the_request(self):
        with self.device("send:OK expect:X send:NO") as dev:
            self.assertTrue(dev.wait_played(1))  # waiting in the port now
            result = self.poll(dev.port, "--send", "X", "--expect", "OK", "--timeout", "0")
        self.assertEqual(result.status, 1, "the stale OK must not match: " + result.output)

    def test_line_settings_are_accepted(self):
        with self.device("expect:A send:OK") as dev:
            result = self.poll(dev.port, "--send", "A", "--expect", "OK", "--baud", "19200", "--data-bits", "7",
                               "--parity", "odd", "--stop-bits", "2", "--read-wait", "50")
        self.assertEqual(result.status, 0, result)


    def test_a_no_match_says_whether_nothing_too_little_or_the_wrong_bytes_came(self):
        # Each waits out the library's idle limit once; side by side.
        def poll(script):
            with self.device(script) as dev:
                return dev.port, self.poll(dev.port, "-s", "PING", "-e", "OKAY", "-t", "0", "--json"), \
                    self.poll(dev.port, "-s", "PING", "-e", "OKAY", "-t", "0")
        silent, short, wrong = self.side_by_side(lambda: poll("expect:PING"), lambda: poll("expect:PING send:OK expect:PING send:OK"),
                                                 lambda: poll("expect:PING send:NOPE expect:PING send:NOPE"))
        for (port, as_json, as_text), kind, received, words in (
                (silent, "silent", 0, "nothing came"), (short, "short", 2, 'too few for an attempt'),
                (wrong, "wrong", 4, '4 other bytes came, 4e 4f 50 45 "NOPE"')):
            j = json.loads(as_json.stdout)
            self.assertEqual((j["status"], j["reply"], j["received_bytes"]), ("no_match", kind, received), as_json)
            self.assertEqual(j.get("reply_hex"), {"silent": None, "short": "4f 4b", "wrong": "4e 4f 50 45"}[kind])
            self.assertRegex(as_text.stdout, re.escape(f"{port}: no match within 0 ms") + ".*" + re.escape(words))


class Errors(Scenarios):
    def assert_error(self, result, port, *words):
        self.assertEqual(result.status, 2, result)
        lines = result.stderr.splitlines()
        self.assertEqual(len(lines), 1, result.stderr)
        self.assertTrue(lines[0].startswith(f"kestrin: {port}: "), lines[0])
        for word in words:
            self.assertIn(word, lines[0])
        self.assertEqual(result.stdout, "")

    def test_input_is_refused_before_the_port_is_touched(self):
        # The port does not exist: each message must be about the input.
        port = self.runner.missing_port
        cases = [
            (["--expect", "A" * 21], "the expected reply is 21 bytes", "20"),
            (["--expect", ""], "empty"),
            ([], "empty"),
            (["--expect", "OK\\q"], "\\q"),
            (["--expect", "\\x4"], "\\x"),
            (["--expect", "OK", "--send", "\\"], "backslash"),
            (["--expect-hex", "4f4"], "hex"),
            (["--expect", "OK", "--baud", "0"], "baud rate must be at least 1"),
            (["--expect", "OK", "--parity", "markish"], "parity", "markish"),
            (["--expect", "OK", "--flow", "hardware"], "flow control", "hardware"),
            (["--expect", "OK", "--dtr", "1"], "--dtr must be on or off"),
            (["--expect", "OK", "--rts", "high"], "--rts must be on or off"),
            (["--expect", "OK", "--timeout", "2 s"], "--timeout", "not a duration"),
            (["--expect", "OK", "--read-wait", "0.5ms"], "--read-wait", "milliseconds"),
            (["--expect", "OK", "--data-bits", "9"], "data bits"),
            (["--expect", "OK", "--stop-bits", "3"], "stop bits"),
            (["--expect", "OK", "--read-wait", "0"], "read wait"),
        ]
        results = self.each(lambda case: self.poll(port, *case[0]), cases)
        for (args, *words), result in zip(cases, results):
            with self.subTest(args=args):
                self.assert_error(result, port, *words)

    def test_input_errors_do_not_reach_the_device(self):
        with self.device("expect:X send:OK") as dev:
            self.assert_error(self.poll(dev.port, "--send", "X", "--expect", "A" * 21), dev.port, "21 bytes")
            ok = self.poll(dev.port, "--send", "X", "--expect", "OK")
        # The first bytes the device ever heard are the good poll's.
        self.assertEqual(dev.heard, b"X")
        self.assertEqual(ok.status, 0, ok)

    def test_port_that_cannot_be_opened(self):
        port = self.runner.missing_port
        self.assert_error(self.poll(port, "--expect", "OK"), port, "cannot open: ", self.runner.not_found)
        with tempfile.NamedTemporaryFile() as plain:
            name = self.runner.file_name(plain.name)
            self.assert_error(self.poll(name, "--expect", "OK"), name, "not a serial port")
        # Windows answers "access denied" for a directory as for a port in
        # use: the one is no serial port, the other busy.
        with tempfile.TemporaryDirectory() as folder:
            name = self.runner.file_name(folder)
            self.assert_error(self.poll(name, "--expect", "OK"), name, "not a serial port" if self.runner.kind == WINE
                              else "")

    def test_error_as_json_too(self):
        port = self.runner.missing_port
        result = self.poll(port, "--expect", "OK", "--json")
        self.assertEqual(result.status, 2)
        j = json.loads(result.stdout)
        self.assertEqual((j["status"], j["exit_code"], j["port"]), ("error", 2, port))
        self.assertIn("cannot open", j["error"])
        self.assertEqual(result.stderr, "", "the error is reported once, as the object")

    def test_missing_library_or_export(self):
        port = self.runner.missing_port
        missing = self.kestrin("poll", port, "--expect", "OK", "--library", self.runner.missing_library)
        self.assert_error(missing, port, "cannot load the library " + self.runner.missing_library)
        self.assertIsNotNone(self.runner.foreign_library)
        wrong = self.kestrin("poll", port, "--expect", "OK", "--library", self.runner.foreign_library)
        self.assert_error(wrong, port, "does not export", self.runner.poll_export)
        for command in (["about"], ["--version"]):
            result = self.kestrin(*command, "--library", self.runner.missing_library)
            self.assertEqual(result.status, 2, command)
            self.assertIn("cannot load", result.stderr)

    def test_with_json_every_error_is_one_object_on_stdout_and_nothing_on_stderr(self):
        port = self.runner.missing_port
        cases = [
            (["--baud", "0"], "baud rate must be at least 1", help_hint("poll")),
            (["--timeout", "soon"], "--timeout", help_hint("poll")),
            (["--baud", "abc"], "--baud", help_hint("poll")),
            (["--expect", "OK\\q"], "\\q", help_hint("poll")),
            (["--expect", "A" * 21], "21 bytes", help_hint("poll")),
            (["--stop-bits", "3"], "stop bits must be 1 or 2", help_hint("poll")),
            (["--bogus"], "--bogus", help_hint("poll")),
            (["--library", self.runner.missing_library], "cannot load", self.runner.missing_library),
            ([], "cannot open: ", self.runner.not_found),
        ]

        def run(case):
            extra = case[0]
            args = ["--expect", "OK", *extra] if "--expect" not in extra else extra
            return args, self.kestrin("poll", port, "--json", *args)

        for (extra, *words), (args, result) in zip(cases, self.each(run, cases)):
            with self.subTest(args=args):
                self.assertEqual(result.status, 2)
                self.assertEqual(result.stderr, "")
                j = error_object(self, result.stdout, *words)
                if "--baud" not in extra and "--bogus" not in extra:
                    self.assertEqual(j["port"], port, "what is known of the request comes along")

    def test_with_json_a_missing_port_is_an_object_too(self):
        # The port is missing, so nothing of the request is known.
        for args in (["poll", "--expect", "OK", "--json"], ["poll", "--json", "--timeout", "soon", "X"]):
            result = self.kestrin(*args)
            with self.subTest(args=args):
                self.assertEqual(result.status, 2)
                self.assertEqual(result.stderr, "")
                error_object(self, result.stdout, help_hint("poll"))
        required = error_object(self, self.kestrin("poll", "--expect", "OK", "--json").stdout, "port")
        self.assertNotIn("matched", required)

    @runs_on(*LINUX, why="sim is the Linux tool's")
    def test_json_is_only_for_the_command_that_offers_it(self):
        # sim has no --json: its words cannot ask for an object.
        result = self.kestrin("sim", "--json", timeout=10)
        self.assertEqual((result.status, result.stdout), (2, ""))
        self.assertIn("--json", result.stderr)
        self.assertTrue(result.stderr.rstrip().endswith(help_hint("sim")), result.stderr)

    def test_mistakes_point_to_the_subcommands_help_and_other_errors_do_not(self):
        port = self.runner.missing_port
        cases = [(["poll", "--expect", "OK"], "poll"),
                 (["poll", port, "--expect", "OK", "--baud", "0"], "poll"),
                 (["poll", port, "--expect", "OK", "--parity", "Q"], "poll"),
                 (["monitor", port, "--duration", "forever"], "monitor"),
                 (["--library", "poll", "poll", port, "--bogus"], "poll"),
                 (["ports", "extra"], "ports"),
                 (["frobnicate"], None)]
        if "sim" in self.runner.subcommands:
            cases += [(["sim", "--rounds", "many"], "sim"), (["sim", "on PING answer PONG"], "sim")]
        for (args, command), result in zip(cases, self.each(lambda case: self.kestrin(*case[0]), cases)):
            with self.subTest(args=args):
                self.assertEqual(result.status, 2)
                lines = result.stderr.splitlines()
                self.assertEqual(len(lines), 1, result.stderr)
                self.assertTrue(lines[0].startswith("kestrin: "), lines[0])
                self.assertTrue(lines[0].endswith(help_hint(command)), lines[0])
                if "--parity" in args:
                    self.assertRegex(lines[0], f"^kestrin: {re.escape(port)}: parity must be none, even\\b.*, "
                                               f"not 'Q' {re.escape(help_hint('poll'))}$")
        for result in (self.poll(port, "--expect", "OK"),
                       self.kestrin("about", "--library", self.runner.missing_library)):
            self.assertEqual(result.status, 2)
            self.assertFalse(is_usage_error(result.stderr), result.stderr)

    @runs_on(*LINUX, why="needs root and setpriv, to poll as a user without access to a Linux port")
    @unittest.skipUnless(hasattr(os, "geteuid") and os.geteuid() == 0 and shutil.which("setpriv"),
                         "needs root, to poll as a user without access")
    def test_permission_denied_names_the_dialout_group(self):
        as_nobody = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]
        probe = subprocess.run([*as_nobody, *self.runner.command(self.runner.kestrin, "--version", "--library",
                                                                   self.runner.library)],
                               capture_output=True, timeout=30)
        if probe.returncode != 0:
            self.skipTest("the build cannot be run by another user here")
        with self.device() as dev:  # its port belongs to root, and to the tty group
            result = subprocess.run([*as_nobody, *self.runner.command(self.runner.kestrin, "poll", dev.port,
                                                                        *self.runner.library_args, "--expect", "OK")],
                                    capture_output=True, text=True, timeout=30)
        self.assert_error(Result(result.returncode, result.stdout, result.stderr), dev.port, "cannot open",
                          "Permission denied", "dialout group")

    def test_usage_errors_exit_2(self):
        port = self.runner.missing_port
        cases = ([], ["poll"], ["poll", port, "--expect", "A", "--timeout", "soon"],
                 ["poll", port, "--expect", "A", "--expect-hex", "41"], ["frobnicate"],
                 ["poll", port, "--expect", "A", "--bogus"])
        for args, result in zip(cases, self.each(lambda args: self.kestrin(*args), cases)):
            self.assertEqual(result.status, 2, args)
            self.assertNotEqual(result.stderr, "", args)


class Identity(Scenarios):
    def test_about_shows_the_library_its_version_both_ways_and_the_text(self):
        result = self.kestrin("about", *self.runner.library_args)
        self.assertEqual(result.status, 0, result)
        self.assertIn(f"Library:  {self.runner.library}\n", result.stdout)
        self.assertIn("Version:  16777216 (1.0.0.0)\n", result.stdout)
        self.assertRegex(result.stdout,
                         r"\nName:\t\tXMODEM\nVersion:\t1\.0\.0\.00\nDate:\t\t\w{3} [ \d]\d \d{4} \(\d\d:\d\d:\d\d\)\n\n"
                         r"Note:\t\t\n$")

    def test_about_as_json(self):
        result = self.kestrin("about", *self.runner.library_args, "--json")
        self.assertEqual((result.status, result.stderr), (0, ""))
        j = json.loads(result.stdout)
        self.assertEqual((j["version"], j["library_version"], j["library"]), (16777216, "1.0.0.0", self.runner.library))
        self.assertTrue(j["about"].startswith("Name:\t\tXMODEM\n"), j["about"])
        self.assertEqual(self.kestrin("about", *self.runner.library_args).stdout.split("\n\n", 1)[1], j["about"])

    def test_version_names_tool_and_library(self):
        result = self.kestrin("--version", *self.runner.library_args)
        self.assertEqual(result.status, 0, result)
        self.assertRegex(result.stdout, r"^kestrin \d+\.\d+\.\d+\S*, library 1\.0\.0\.0 \(16777216\) "
                                        + re.escape(self.runner.library) + "\n$", "both versions, on one line")

    @runs_on(*LINUX, why="under Wine kestrin.exe always finds kestrin.dll beside it: the about scenario shows that one")
    def test_library_is_found_beside_the_executable(self):
        with tempfile.TemporaryDirectory() as folder:
            shutil.copy(self.runner.kestrin, folder)
            shutil.copy(self.runner.library, os.path.join(folder, "libkestrin.so"))
            result = subprocess.run(self.runner.command(os.path.join(folder, "kestrin"), "about"),
                                    capture_output=True, text=True, timeout=30)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn(f"Library:  {folder}/libkestrin.so\n", result.stdout)

    def test_help_on_every_subcommand(self):
        helps = {command: self.kestrin(command, "--help") for command in self.runner.subcommands}
        for command, result in helps.items():
            self.assertEqual(result.status, 0, command)
            self.assertIn("Usage:", result.stdout.replace("usage:", "Usage:"), command)
        self.assertIn("--expect", helps["poll"].stdout)
        if "sim" in helps:
            self.assertIn("on TEXT reply TEXT", helps["sim"].stdout)

    def test_every_subcommands_help_ends_with_examples_that_parse(self):
        port = self.runner.missing_port
        for command in self.runner.subcommands:
            found = check_help_examples(self, self.kestrin(command, "--help").stdout, command)
            for example in found:
                # Never a real device: the example's port becomes one that is not there.
                args = [port if arg.startswith(self.runner.example_port) else arg for arg in example]
                with self.subTest(example=example):
                    status, output = run_example(args)
                    self.assertFalse(is_usage_error(output), output)
                    self.assertIn(status, (0, 2), output)
                    if status == 2:
                        self.assertRegex(output, "cannot open|cannot load", "only for want of a port or library")


@runs_on(*LINUX, why="a live status needs stderr on a terminal, which only a Linux run gets here")
class LiveStatus(Scenarios):
    def test_status_line_on_a_terminal_is_updated_then_wiped(self):
        with self.device("expect:PING wait:1200 send:PONG") as dev:
            status, out, err = run_with_stderr_terminal(
                ["poll", dev.port, *self.runner.library_args, "--send", "PING", "--expect", "PONG", "--timeout", "3000"])
        self.assertEqual(status, 0, out + err)
        shown = re.findall("\r" + re.escape(f"kestrin: polling {dev.port}: ") + r"(\d+\.\d) s of 3\.0 s", err)
        self.assertGreaterEqual(len(set(shown)), 2, f"the line must be updated in place: {err!r}")
        self.assertGreaterEqual(float(shown[0]), 0.5, "nothing before half a second")
        self.assertRegex(err, r"\r {20,}\r$", "the line must be wiped at the end")

    @runs_on(*EVERY, why="")
    def test_nothing_of_it_when_stderr_is_not_a_terminal(self):
        with self.device("expect:PING wait:700 send:PONG") as dev:
            result = self.poll(dev.port, "--send", "PING", "--expect", "PONG", "--timeout", "3000")
        self.assertEqual(result.status, 0, result)
        self.assertEqual(result.stderr, "")

    def test_short_polls_show_nothing_even_on_a_terminal(self):
        with self.device("expect:PING send:PONG") as dev:
            status, out, err = run_with_stderr_terminal(
                ["poll", dev.port, *self.runner.library_args, "--send", "PING", "--expect", "PONG"])
        self.assertEqual(status, 0, out)
        self.assertEqual(err, "")

    def test_ctrl_c_wipes_the_live_status_line_first(self):
        with self.device("expect:PING") as dev:
            master, slave = pty.openpty()
            try:
                running = subprocess.Popen(self.runner.command(self.runner.kestrin, "poll", dev.port,
                                                               *self.runner.library_args, "-s", "PING", "-e", "PONG",
                                                               "-t", "10s"),
                                           stdout=subprocess.PIPE, stderr=slave, stdin=subprocess.DEVNULL)
                os.close(slave)
                self.assertTrue(dev.wait_heard(b"PING"))
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
        self.assertRegex(seen.decode(), r"\r {20,}\r" + re.escape(f"kestrin: {dev.port}: interrupted") + r"\r?\n$")


@runs_on(*LINUX, why="kestrin sim is the Linux tool's")
class Simulator(Scenarios):
    def test_its_rules_as_a_poll_sees_them(self):
        # The other groups play their devices from Python; here the sim's
        # own rules: hex, times, after, repeat and every.
        with Sim("on hex:00ff7f reply hex:0d0a00ff", "on PING reply NOPE times 1", "on PING reply OKAY after 400",
                 "on R reply NO repeat 40 every 50") as sim:
            hexed = self.poll(sim.port, "--send-hex", "00 ff 7f", "--expect-hex", "0d:0a:00:ff")
            self.assertEqual(sim.received_until(b"\x7f"), b"\x00\xff\x7f")
            wrong = self.poll(sim.port, "-s", "PING", "-e", "OKAY", "-t", "0")
            late = self.poll(sim.port, "-s", "PING", "-e", "OKAY", "-t", "3000", "--json")
            repeated = self.poll(sim.port, "-s", "R", "-e", "OK", "-t", "300")
        self.assertEqual((hexed.status, wrong.status, late.status), (0, 1, 0), hexed.output + wrong.output)
        self.assertGreaterEqual(json.loads(late.stdout)["elapsed_ms"], 200)
        found = re.fullmatch(no_match_line(sim.port, 300) + "\n", repeated.stdout)
        self.assertIsNotNone(found, repeated.stdout)
        self.assertLess(int(found.group(1)), 2000, "replies kept coming")

    def test_chatter_and_byte_by_byte_replies(self):
        with Sim("send READY\\r\\n every 50") as chatty, Sim("on GO reply AB after 50 gap 100") as slow:
            # A device that fell behind (a loaded machine) catches up in one write.
            self.assertRegex(chatty.wait_for("tx"), rb"^(READY\r\n)+$")
            chatter = self.poll(chatty.port, "--expect", "READY\\r\\n", "--timeout", "2000")
            monitored = self.kestrin("monitor", slow.port, "-s", "GO", "-d", "1s", "--json")
        self.assertEqual(chatter.status, 0, chatter)
        objects = json_lines(monitored.stdout)
        self.assertEqual([o.get("text") for o in objects[:-1]], ["A", "B"], monitored.stdout)
        self.assertGreater(objects[1]["ms"] - objects[0]["ms"], 50, "a gap of 100 ms between them")

    def test_link_is_made_and_removed(self):
        with tempfile.TemporaryDirectory() as folder:
            link = os.path.join(folder, "device")
            with Sim("on A reply OK", extra=("--link", link)) as sim:
                self.assertEqual(os.readlink(link), sim.port)
                result = self.poll(link, "--send", "A", "--expect", "OK")
                self.assertEqual(result.status, 0, result)
            self.assertFalse(os.path.lexists(link))

    def test_link_takes_no_path_that_exists_but_a_gone_pseudo_terminals(self):
        with tempfile.TemporaryDirectory() as folder:
            plain, folder_path = os.path.join(folder, "plain"), os.path.join(folder, "folder")
            users_link, stale = os.path.join(folder, "mine"), os.path.join(folder, "stale")
            with open(plain, "w") as file:
                file.write("keep me")
            os.mkdir(folder_path)
            os.symlink(plain, users_link)
            for path in (plain, folder_path, users_link):
                result = self.kestrin("sim", "--link", path, timeout=10)
                self.assertEqual((result.status, result.stdout), (2, ""), result)
                self.assertIn("exists", result.stderr)
            with open(plain) as file:
                self.assertEqual(file.read(), "keep me")
            self.assertTrue(os.path.isdir(folder_path))
            self.assertEqual(os.readlink(users_link), plain, "a user's link is left as it was")

            taken = os.path.join(folder, "device")
            with Sim("on A reply OK", extra=("--link", taken)) as running:
                second = self.kestrin("sim", "--link", taken, timeout=10)
                self.assertEqual(second.status, 2, second)
                self.assertEqual(os.readlink(taken), running.port, "a running sim keeps its link")
                self.assertEqual(self.poll(taken, "--send", "A", "--expect", "OK").status, 0)

            # What a killed sim leaves: a link to a pseudo-terminal that is gone.
            os.symlink("/dev/pts/987654", stale)
            with Sim("on A reply OK", extra=("--link", stale)) as sim:
                self.assertEqual(os.readlink(stale), sim.port)
            self.assertFalse(os.path.lexists(stale))

    def test_scripts_that_are_not_regular_files_of_at_most_1_mb_are_refused_at_once(self):
        with tempfile.TemporaryDirectory() as folder:
            fifo, large = os.path.join(folder, "fifo"), os.path.join(folder, "large.sim")
            os.mkfifo(fifo)
            with open(large, "w") as file:
                file.write("#" * (1024 * 1024) + "\n")
            cases = [("/dev/zero", "special file"), ("/dev/urandom", "special file"), (fifo, "special file"),
                     (folder, "directory"), (large, "larger than 1 MB")]
            for path, why in cases:
                began = time.monotonic()
                result = self.kestrin("sim", "--script", path, timeout=20)
                self.assertEqual((result.status, result.stdout), (2, ""), result)
                self.assertIn(why, result.stderr)
                self.assertLess(time.monotonic() - began, 10, path)

    def test_numbers_and_paths_are_checked(self):
        for args in (["--rounds", "-1"], ["--rounds", "99999999999999999999"], ["--rounds", "0"],
                     ["--script", ""], ["--link", ""], ["--seed", "-1"], ["--seed", "18446744073709551616"],
                     ["--seed", "x"]):
            result = self.kestrin("sim", *args, "on A reply B", timeout=10)
            self.assertEqual((result.status, result.stdout), (2, ""), (args, result))
            self.assertTrue(is_usage_error(result.stderr), (args, result.stderr))

    def test_the_seed_is_said_and_plays_the_same_chances_again(self):
        def answers(seed):
            with Sim("on P reply A chance 50%", extra=("--seed", seed)) as sim:
                said = sim.process.stderr.readline().decode()
                monitored = self.kestrin("monitor", sim.port, "-s", "P" * 200, "-d", "1500ms", "--json")
            self.assertEqual(monitored.status, 0, monitored)
            return said, sum(len(o.get("text", "")) for o in json_lines(monitored.stdout)[:-1])

        said, count = answers("4242")
        self.assertEqual(said, "kestrin sim: seed 4242\n")
        self.assertEqual(answers("4242"), (said, count))
        self.assertLess(40, count)
        self.assertLess(count, 160)
        with Sim("on P reply A") as sim:
            self.assertRegex(sim.process.stderr.readline().decode(), r"^kestrin sim: seed \d+\n$")

    def test_thousands_of_rules_answer_thousands_of_triggers_in_well_under_a_second(self):
        with tempfile.NamedTemporaryFile("w", suffix=".sim") as script:
            script.write("".join(f"on CMD{i:05}; reply R{i:05};\n" for i in range(5000)))
            script.flush()
            with Sim(extra=("--script", script.name)) as sim:
                host = os.open(sim.port, os.O_RDWR | os.O_NOCTTY)
                try:
                    tty.setraw(host)
                    began = time.monotonic()
                    os.write(host, b"".join(f"CMD{i:05};".encode() for i in range(0, 5000, 2)))
                    got = read_for(host, 7 * 2500, 5)
                    took = time.monotonic() - began
                finally:
                    os.close(host)
        self.assertEqual(got, b"".join(f"R{i:05};".encode() for i in range(0, 5000, 2)))
        # Milliseconds natively (the search it replaces took minutes); the
        # sanitizers and an emulator get a bound as generous.
        slow = self.runner.kind != NATIVE or os.environ.get("ASAN_OPTIONS") or os.environ.get("TSAN_OPTIONS")
        self.assertLess(took, 5.0 if slow else 1.0)

    def test_a_huge_repeat_flows_in_constant_memory_and_a_stop_signal_ends_it_mid_reply(self):
        sim = self.runner.start("sim", "on GO reply " + "X" * 1000 + " repeat 3000000")
        port = sim.read_line(10).strip()
        self.assertTrue(port.startswith("/dev/"), port)
        host = os.open(port, os.O_RDWR | os.O_NOCTTY)
        try:
            tty.setraw(host)
            os.write(host, b"GO")
            samples, got = [], 0
            until = time.monotonic() + 2
            while time.monotonic() < until:
                got += len(read_for(host, 1 << 20, 0.1))
                with contextlib.suppress(OSError, ValueError):
                    with open(f"/proc/{sim.process.pid}/status") as status:
                        samples += [int(line.split()[1]) for line in status if line.startswith("VmRSS:")]
            self.assertGreater(got, 100000, "the reply flows as the host reads it")
            began = time.monotonic()
            sim.interrupt(signal.SIGTERM)
            self.assertEqual(sim.wait(10).status, 0)
            self.assertLess(time.monotonic() - began, 1.0, "the stop signal came mid-reply")
        finally:
            os.close(host)
        measured = self.runner.kind == NATIVE and not os.environ.get("ASAN_OPTIONS") \
            and not os.environ.get("TSAN_OPTIONS")
        if measured:
            # Built whole, the answer took gigabytes.
            self.assertLess(max(samples) - samples[0], 8192, f"kB of memory: {samples}")

    def test_rounds_end_the_device_by_itself_after_its_last_reply_is_read(self):
        sim = Sim("on PING reply PONG\\r\\nTRAILER", extra=("--rounds", "3"))
        results = [self.poll(sim.port, "--send", "PING", "--expect", "PONG\\r\\n") for _ in range(3)]
        self.assertEqual([r.status for r in results], [0, 0, 0], [r.stdout for r in results])
        self.assertEqual(sim.process.wait(timeout=10), 0)
        sim.stop()

    def test_the_last_reply_is_never_cut_off_by_the_exit(self):
        # The device exits right after its last reply: closing the terminal
        # then must not throw the unread reply away.
        sims = [Sim("on GO reply DONE\\r\\nTRAILER", extra=("--rounds", "1")) for _ in range(12)]
        try:
            results = self.each(lambda sim: self.poll(sim.port, "--send", "GO", "--expect", "DONE\\r\\n",
                                                      "--timeout", "0"), sims)
            self.assertEqual([r.status for r in results], [0] * len(sims), [r.stdout for r in results])
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
                result = self.poll(sim.port, "--send", "HELLO THERE", "--expect", "GENERAL\\r")
            self.assertEqual(result.status, 0, result.stdout)
        bad = self.kestrin("sim", "on PING reply PONG", "on PING answer PONG", timeout=10)
        self.assertEqual(bad.status, 2)
        self.assertIn("rule 2", bad.stderr)
        self.assertIn("answer", bad.stderr)
        self.assertEqual(bad.stdout, "", "no port is offered for a bad script")

    def test_several_devices_at_once(self):
        sims = [Sim(f"on ID? reply DEV{i}") for i in range(4)]
        try:
            self.assertEqual(len({s.port for s in sims}), 4)
            for i, sim in enumerate(sims):
                result = self.poll(sim.port, "--send", "ID?", "--expect", f"DEV{i}")
                self.assertEqual(result.status, 0, result.stdout)
        finally:
            for sim in sims:
                self.assertEqual(sim.stop(), 0)


@runs_on(*LINUX, why="kestrin sim is the Linux tool's")
class SimulatorHangup(Scenarios):
    # Its own group: the poll waits out the library's 5 s idle limit.
    def test_a_hangup_rule_is_a_device_gone_and_ends_the_sim(self):
        sim = Sim("on PING reply PONG times 1", "on PING hangup after 100")
        try:
            result = self.poll(sim.port, "-s", "PING", "-e", "PONG", "-t", "500", "--repeat", "2", "--json")
            # A device that hung up is gone: its sim ends by itself.
            self.assertEqual(sim.process.wait(timeout=10), 0)
        finally:
            sim.stop()
        self.assertEqual(result.status, 2, result)
        j = json.loads(result.stdout)
        self.assertEqual([p["status"] for p in j["polls"]], ["matched", "device_gone"], result.stdout)


    def test_a_vanished_device_fails_the_hosts_reads_and_comes_back_at_its_link(self):
        with tempfile.TemporaryDirectory() as folder:
            link = os.path.join(folder, "device")
            with Sim("on PING reply PONG", "on RESET vanish 1500ms", extra=("--link", link)) as sim:
                self.assertEqual(self.poll(link, "-s", "PING", "-e", "PONG").status, 0)
                gone = self.kestrin("monitor", link, "-s", "RESET", "--json", timeout=10)
                self.assertEqual(sim.wait_for_line("vanish"), "")
                self.assertFalse(os.path.lexists(link), "the link goes with the device")
                away = self.poll(link, "-s", "PING", "-e", "PONG")
                back = sim.wait_for_line("back", timeout=10)
                self.assertEqual(os.readlink(link), back)
                again = self.poll(link, "-s", "PING", "-e", "PONG")
            self.assertFalse(os.path.lexists(link))
        self.assertEqual(gone.status, 2, gone)
        self.assertEqual(json_lines(gone.stdout)[-1]["status"], "device_gone", gone.stdout)
        self.assertEqual(away.status, 2, away)
        self.assertEqual(again.status, 0, again)

    def test_a_soak_with_reconnect_sees_the_gap_and_matches_again_after_it(self):
        with tempfile.TemporaryDirectory() as folder:
            link = os.path.join(folder, "device")
            rules = ("on PING reply PONG times 3", "on PING vanish 2s times 1", "on PING reply PONG")
            with Sim(*rules, extra=("--link", link)):
                started = time.monotonic()
                soak = self.poll(link, "-s", "PING", "-e", "PONG", "-t", "500", "--repeat", "6", "--reconnect",
                                 "--wait-port", "10s", "--json", timeout=60)
                took = time.monotonic() - started
        self.assertEqual(soak.status, 0, soak)
        j = json.loads(soak.stdout)
        self.assertEqual([p["status"] for p in j["polls"]],
                         ["matched"] * 3 + ["device_gone"] + ["matched"] * 2, soak.stdout)
        self.assertEqual(j["summary"]["reconnects"], 1)
        self.assertGreaterEqual(took, 1.8, "the device's two seconds away are waited out")


@runs_on(*LINUX, why="kestrin relay, like sim, is the Linux tool's")
class Relay(Scenarios):
    # The host program: a poll per request, each on its own open of the port.
    CONVERSATION = [("PING\\r", "PONG\\r"), ("READ?\\r", "42\\r\\n"), ("PING\\r", "PONG\\r")]

    def host(self, port):
        return [self.poll(port, "-s", send, "-e", expect, "-t", "2000", "--json")
                for send, expect in self.CONVERSATION]

    def test_a_conversation_through_it_is_recorded_and_a_sim_plays_it_back(self):
        with tempfile.TemporaryDirectory() as folder:
            device_link, relay_link = os.path.join(folder, "device"), os.path.join(folder, "relay")
            recording = os.path.join(folder, "dut.sim")
            device = Sim("on PING\\r reply PONG\\r after 30", "on READ?\\r reply 4 after 20 then 2\\r\\n after 80",
                         extra=("--link", device_link))
            relay = subprocess.Popen(
                RUNNER.command(RUNNER.kestrin, "relay", device_link, "--link", relay_link, "--record", recording,
                               "--json"), stdout=subprocess.PIPE, stderr=subprocess.PIPE, stdin=subprocess.DEVNULL)
            try:
                deadline = time.monotonic() + 20
                while not os.path.lexists(relay_link) and relay.poll() is None and time.monotonic() < deadline:
                    time.sleep(0.05)
                through = self.host(relay_link)
                # The device going away ends the relay, which still writes
                # what it recorded.
                device.stop()
                out, err = relay.communicate(timeout=20)
            finally:
                relay.kill()
                device.stop()
            self.assertEqual([r.status for r in through], [0, 0, 0], through)
            self.assertEqual(relay.returncode, 2, err)
            lines = json_lines(out.decode())
            self.assertEqual([(line["from"], line["text"]) for line in lines[:3]],
                             [("host", "PING\\r"), ("device", "PONG\\r"), ("host", "READ?\\r")], out)
            self.assertEqual(lines[-1]["status"], "device_gone", out)
            self.assertFalse(os.path.lexists(relay_link), "the link goes with the relay")
            with open(recording) as file:
                script = file.read()
            self.assertIn('on "READ?\\r" reply "4" after ', script)
            self.assertIn(' then "2\\r\\n" after ', script)

            with Sim(extra=("--script", recording)) as played:
                again = self.host(played.port)
        self.assertEqual([r.status for r in again], [0, 0, 0], again)
        # The device's pause inside the reply is played back too.
        self.assertGreaterEqual(json.loads(again[1].stdout)["elapsed_ms"], 90, again[1].stdout)


class Trace(Scenarios):
    def test_a_wrong_reply_is_shown_byte_by_byte_before_the_result(self):
        with self.device("expect:PING wait:100 " + " ".join(["send:NOPE wait:40"] * 30)) as dev:
            result = self.poll(dev.port, "-s", "PING", "-e", "OKAY", "-t", "300ms", "--trace")
        self.assertEqual(result.status, 1, result)
        groups = trace_read(result.stdout, dev.port)
        self.assertIsNotNone(groups, result.stdout)
        # Lines group bytes by when they came; a loaded machine or an emulator
        # may split a reply over two.
        read = b"".join(data for _, data in groups)
        self.assertGreaterEqual(len(read) // 4, 4, "an attempt every 40 ms within the budget")
        self.assertEqual(read, b"NOPE" * (len(read) // 4), result.stdout)
        times = [ms for ms, _ in groups]
        self.assertEqual(times, sorted(times))
        # Sent 100 ms after the request, and the poll began after sending it.
        self.assertGreater(times[0], 30)
        self.assertGreater(times[-1] - times[0], 100, "the times are when the bytes came")
        lines = result.stdout.splitlines()
        self.assertTrue(lines[0].startswith(f"{dev.port}: the library read "), "the trace comes first")
        self.assertRegex(lines[-1], no_match_line(dev.port, 300), "the result comes last")

    def test_in_json_every_byte_with_its_time_and_the_match_unchanged(self):
        reply = "expect:PING wait:100 send:NO\\r\\n wait:300 send:OK\\r\\n"
        with self.device(reply + " " + reply) as dev:
            traced = self.poll(dev.port, "-s", "PING", "-e", "OK\\r\\n", "-t", "3s", "--trace", "--json")
            plain = self.poll(dev.port, "-s", "PING", "-e", "OK\\r\\n", "-t", "3s", "--json")
        for result in (traced, plain):
            self.assertEqual(result.status, 0, result)
        j, k = json.loads(traced.stdout), json.loads(plain.stdout)
        self.assertEqual(j["status"], "matched")
        # Attempts of four bytes: "NO\r\n", then the match.
        self.assertEqual(trace_bytes(j["trace"]), b"NO\r\nOK\r\n")
        times = [entry["ms"] for entry in j["trace"]]
        self.assertGreaterEqual(times[0], 0)
        self.assertGreater(times[4] - times[3], 200, "each byte's own time")
        self.assertEqual((j["status"], j["result"]), (k["status"], k["result"]))
        self.assertNotIn("trace", k)


class Busy(Scenarios):
    def test_a_port_another_poll_holds_is_busy_and_its_poll_is_not_disturbed(self):
        with self.device("expect:PING") as dev:
            # Its reply waits for the others, however long they take.
            first = self.runner.start_poll(dev.port, "-s", "PING", "-e", "PONG", "-t", "30s")
            self.assertTrue(dev.wait_heard(b"PING"))
            second = self.poll(dev.port, "-s", "PING", "-e", "PONG")
            second_json = self.poll(dev.port, "-e", "PONG", "--json")
            monitor = self.kestrin("monitor", dev.port, "-d", "100ms")
            self.assertTrue(first.running(), "the first poll ended before the others could try")
            dev.send(b"PONG")
            result = first.wait(40)
        busy = "busy: another (kestrin|program) "
        self.assertEqual(second.status, 2, second)
        self.assertRegex(second.stderr, f"^kestrin: {re.escape(dev.port)}: {busy}.+\n$")
        j = error_object(self, second_json.stdout, "busy", status="busy")
        self.assertEqual(j["port"], dev.port)
        self.assertRegex(j["error"], busy)
        self.assertEqual(monitor.status, 2, monitor)
        self.assertRegex(monitor.stderr, f"kestrin: {re.escape(dev.port)}: {busy}")
        self.assertEqual(result.status, 0, result)
        self.assertRegex(result.stdout, matched_line(dev.port), "no byte was taken from the first poll")
        self.assertEqual(dev.heard, b"PING", "the busy ones sent nothing")

    @runs_on(*LINUX, why="flock and TIOCEXCL are Linux's ways for a program to keep a port to itself")
    def test_another_programs_lock_or_exclusive_mode_makes_it_busy(self):
        with self.device("expect:A send:OK") as dev:
            fd = os.open(dev.port, os.O_RDWR | os.O_NOCTTY)
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                locked = self.poll(dev.port, "-s", "A", "-e", "OK")
                fcntl.flock(fd, fcntl.LOCK_UN)
                # qemu-user passes no TIOCGEXCL on: there the tool, as
                # root, cannot see another program's exclusive mode.
                if self.runner.kind == NATIVE:
                    fcntl.ioctl(fd, termios.TIOCEXCL)
                    exclusive = self.poll(dev.port, "-s", "A", "-e", "OK")
                    fcntl.ioctl(fd, termios.TIOCNXCL)
                    self.assertEqual(exclusive.status, 2)
                    self.assertIn(": busy: ", exclusive.stderr)
                free = self.poll(dev.port, "-s", "A", "-e", "OK")
            finally:
                os.close(fd)
        self.assertEqual(locked.status, 2)
        self.assertRegex(locked.stderr, re.escape(dev.port) + ": busy: .*lock")
        self.assertEqual(free.status, 0, free)


class Restore(Scenarios):
    """The port's settings are the tool's only while it runs."""

    def interrupted(self, running, device, heard, signal_number=signal.SIGINT):
        """Interrupts `running` once the device has heard `heard` and the
        poll is under way: (its Result, the port's settings and rates meanwhile)."""
        self.assertTrue(device.wait_heard(heard), "the request never came")
        time.sleep(0.3)  # into the library's poll
        during, rates = device.settings(), device.rates()
        running.interrupt(signal_number)
        return running.wait(20), during, rates

    def test_the_ports_settings_come_back_after_a_match_an_error_and_ctrl_c(self):
        # A pseudo-terminal has no modem lines: on Linux setting DTR fails
        # once the port is open and set; Wine's COM port takes it.
        dtr_works = self.runner.kind == WINE
        with self.device("expect:PING send:PONG " + ("expect:PING send:PONG " if dtr_works else "")
                         + "expect:SLOW expect:PING send:PONG") as dev:
            before = self.runner.hold(dev)
            matched = self.poll(dev.port, "-s", "PING", "-e", "PONG", "-b", self.runner.any_rate, "-p", "E",
                                "--flow", "rtscts")
            self.assertEqual(matched.status, 0, matched)
            self.assertEqual(self.runner.kept(dev.settings()), before, "after a match")
            dtr = self.poll(dev.port, "-s", "PING", "-e", "PONG", "--dtr", "on")
            if dtr_works:
                self.assertEqual(dtr.status, 0, dtr)
            else:
                self.assertEqual(dtr.status, 2, dtr)
                self.assertIn("DTR", dtr.stderr)
            self.assertEqual(self.runner.kept(dev.settings()), before, "after a failed open")
            running = self.runner.start_poll(dev.port, "-s", "SLOW", "-e", "LATE", "-t", "10s", "-b", "115200",
                                             "--stop-bits", "2")
            result, *seen = self.interrupted(running, dev, b"SLOW")
            self.assertEqual(result.status, 130, result)
            self.assertEqual(result.stderr, f"kestrin: {dev.port}: interrupted\n")
            self.assert_put_back(dev, before, *seen)
            again = self.poll(dev.port, "-s", "PING", "-e", "PONG")
            self.assertEqual(again.status, 0, "nothing of the interrupted poll holds the port: " + again.stderr)

    def test_ctrl_c_with_json_is_one_interrupted_object(self):
        with self.device("expect:PING send:PONG expect:PING") as dev:
            before = self.runner.hold(dev)
            running = self.runner.start_poll(dev.port, "-s", "PING", "-e", "PONG", "-t", "10s", "--json",
                                             "--repeat", "3", "-b", "115200", "--stop-bits", "2")
            # On Linux SIGTERM ends a poll as Ctrl-C does; Windows has only Ctrl-C.
            result, *seen = self.interrupted(running, dev, b"PINGPING",
                                              signal.SIGTERM if self.runner.kind in LINUX else signal.SIGINT)
            self.assert_put_back(dev, before, *seen)
        self.assertEqual((result.status, result.stderr), (130, ""))
        lines = result.stdout.splitlines()
        self.assertEqual(len(lines), 1, result.stdout)
        j = json.loads(lines[0])
        self.assertEqual((j["status"], j["exit_code"], j["port"]), ("interrupted", 130, dev.port))
        self.assertEqual([p["status"] for p in j["polls"]], ["matched"], "the polls done so far")
        self.assertEqual(j["summary"]["matched"], 1)

    def test_a_monitor_stopped_by_ctrl_c_puts_them_back_too(self):
        with self.device("expect:HI send:HELLO") as dev:
            before = self.runner.hold(dev)
            running = self.runner.start("monitor", dev.port, "-s", "HI", "-b", "115200", "--stop-bits", "2",
                                        "--json")
            self.assertTrue(dev.wait_played())
            result, *seen = self.interrupted(running, dev, b"HI")
            self.assert_put_back(dev, before, *seen)
        self.assertEqual((result.status, result.stderr), (130, ""))
        objects = json_lines(result.stdout)
        self.assertEqual((objects[0]["hex"], objects[0]["text"]), ("48 45 4c 4c 4f", "HELLO"))
        self.assertEqual((objects[-1]["status"], objects[-1]["exit_code"], objects[-1]["bytes"]),
                         ("interrupted", 130, 5))


class Late(Scenarios):
    def test_a_match_after_the_budget_is_late_and_strict_fails_it(self):
        late = "expect:PING wait:100 send:NOPE wait:500 send:OKAY "
        with self.device(late * 3 + "expect:QUICK send:OKAY") as dev:
            text = self.poll(dev.port, "-s", "PING", "-e", "OKAY", "-t", "300")
            as_json = self.poll(dev.port, "-s", "PING", "-e", "OKAY", "-t", "300", "--json")
            strict = self.poll(dev.port, "-s", "PING", "-e", "OKAY", "-t", "300", "--strict", "--json")
            timely = self.poll(dev.port, "-s", "QUICK", "-e", "OKAY", "-t", "2s", "--strict", "--json")
        self.assertEqual(text.status, 0, text)
        found = re.fullmatch(late_line(dev.port, 300) + "\n", text.stdout)
        self.assertIsNotNone(found, text.stdout)
        self.assertGreater(int(found.group(1)), 300)
        j = json.loads(as_json.stdout)
        self.assertEqual((j["status"], j["late"], j["exit_code"]), ("matched", True, 0))
        self.assertEqual(strict.status, 1, strict)
        k = json.loads(strict.stdout)
        self.assertEqual((k["status"], k["late"], k["exit_code"]), ("matched", True, 1))
        self.assertGreater(k["elapsed_ms"], 300)
        self.assertEqual(timely.status, 0, timely)
        self.assertEqual(json.loads(timely.stdout)["late"], False)


class DeviceGone(Scenarios):
    # The library cannot tell a hung-up port from a silent one, so each poll
    # here waits out its 5 s idle limit; the three run side by side.
    def test_a_device_that_hangs_up_during_the_poll_is_an_error_of_its_own(self):
        with self.device("expect:PING wait:100 hangup") as text_dev, \
                self.device("expect:PING wait:200 send:NO wait:100 hangup") as json_dev, \
                self.device("expect:PING send:PONG expect:PING send:PONG expect:PING wait:100 hangup") as repeat_dev:
            text, as_json, repeated = self.side_by_side(
                lambda: self.poll(text_dev.port, "-s", "PING", "-e", "PONG", "-t", "500"),
                lambda: self.poll(json_dev.port, "-s", "PING", "-e", "OKAY", "-t", "1s", "--json"),
                lambda: self.poll(repeat_dev.port, "-s", "PING", "-e", "PONG", "-t", "500", "--repeat", "5"))
        self.assertEqual(text.status, 2, text)
        self.assertRegex(text.stderr, "^kestrin: " + re.escape(text_dev.port) + ": the device went away")
        self.assertEqual(as_json.status, 2, as_json)
        j = error_object(self, as_json.stdout, "went away", status="device_gone")
        self.assertEqual(j["port"], json_dev.port)
        self.assertEqual(repeated.status, 2, repeated)
        self.assertEqual(summary_counts(repeated.stdout, repeat_dev.port), (3, 2, 0, 0, 1),
                         "the run ends at the poll that found the device gone: " + repeated.stdout)
        self.assertIn("went away", repeated.stderr)

    def test_monitor_reports_it_at_once(self):
        with self.device("expect:HIHO wait:100 send:HELLO wait:300 hangup") as dev:
            result = self.kestrin("monitor", dev.port, "-s", "HIHO", "--json")
        self.assertEqual(result.status, 2, result)
        lines = json_lines(result.stdout)
        self.assertEqual(lines[0]["text"], "HELLO")
        self.assertEqual((lines[-1]["status"], lines[-1]["port"]), ("device_gone", dev.port))


class Repeat(Scenarios):
    def test_a_summary_of_matches_misses_and_their_times(self):
        with self.device("expect:PING send:PONG expect:PING send:PONG expect:PING "
                         + " ".join(["send:NOPE wait:30"] * 10)) as dev:
            result = self.poll(dev.port, "-s", "PING", "-e", "PONG", "-t", "100", "--repeat", "3")
        self.assertEqual(result.status, 1, result)
        lines = result.stdout.splitlines()
        self.assertRegex(lines[0], r"^\[1/3\] " + matched_line(dev.port))
        self.assertRegex(lines[1], r"^\[2/3\] " + matched_line(dev.port))
        self.assertRegex(lines[2], r"^\[3/3\] " + no_match_line(dev.port, 100))
        self.assertEqual(summary_counts(result.stdout, dev.port), (3, 2, 0, 1, 0))
        self.assertRegex(lines[-1], re.escape(dev.port) + r": time to match: min \d+ ms, median \d+ ms, "
                                                          r"p90 \d+ ms, max \d+ ms$")

    def test_a_summary_as_json(self):
        with self.device("expect:PING send:OK expect:PING send:OK expect:PING "
                         + " ".join(["send:NO wait:60"] * 6)) as dev:
            result = self.poll(dev.port, "-s", "PING", "-e", "OK", "-t", "200ms", "--repeat", "3", "--json")
        self.assertEqual(result.status, 1, result)
        j = json.loads(result.stdout)
        summary = j["summary"]
        self.assertEqual((summary["polls"], summary["matched"], summary["no_match"], summary["errors"]), (3, 2, 1, 0))
        self.assertLessEqual(summary["latency_ms"]["min"], summary["latency_ms"]["max"])
        self.assertEqual([p["status"] for p in j["polls"]], ["matched", "matched", "no_match"])

    def test_as_json_each_poll_and_the_summary(self):
        with self.device("expect:PING send:PONG " * 3 + "expect:PING wait:400 send:PONG " * 2) as dev:
            result = self.poll(dev.port, "-s", "PING", "-e", "PONG", "-t", "200", "-r", "4", "--json", "--trace")
            strict = self.poll(dev.port, "-s", "PING", "-e", "PONG", "-t", "200", "-r", "1", "--strict", "--json")
        self.assertEqual(result.status, 0, result)
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
        self.assertEqual((strict.status, json.loads(strict.stdout)["status"]), (1, "no_match"),
                         "--strict: the late match fails the run")


class Ports(Scenarios):
    @runs_on(NATIVE, WINE, why="umockdev's preload library, which fakes USB adapters on Linux, is x86-64 only")
    def test_usb_adapters_are_listed_with_their_ids_and_the_text_agrees(self):
        with self.runner.usb_bed(*identical_adapters(2)) as bed:
            listed, text = bed.run("ports", "--json"), bed.run("ports")
            adapters = sorted((bed.listed(a) for a in bed.adapters), key=lambda a: port_number(a["port"]))
        self.assertEqual((listed.status, listed.stderr), (0, ""))
        lines = listed.stdout.strip().splitlines()
        self.assertEqual(len(lines), 1, "one JSON array, nothing else: " + listed.stdout)
        ports = json.loads(lines[0])
        self.assertIsInstance(ports, list)
        names = [p["port"] for p in ports]
        self.assertEqual(len({n.upper() for n in names}), len(names), ports)
        for adapter in adapters:
            with self.subTest(port=adapter["port"]):
                entry = next((p for p in ports if p["port"] == adapter["port"]), None)
                self.assertIsNotNone(entry, ports)
                self.assertEqual({key: entry[key] for key in adapter}, adapter)
                self.assertEqual((entry["usb_vendor_id"], entry["usb_product_id"]), ("0403", "6001"))
        mine = [p["port"] for p in ports if p["port"] in {a["port"] for a in adapters}]
        self.assertEqual(mine, [a["port"] for a in adapters], "in their numbers' order")
        if self.runner.kind == NATIVE:
            self.assertEqual(names, mine, "umockdev's machine has these ports and no other")

        # The same ports as the text listing, in the same order, each with what is known of it.
        self.assertEqual(text.status, 0, text)
        rows = [line for line in text.stdout.splitlines() if not line.startswith(" ")]
        self.assertEqual([row.split(":")[0] for row in rows], names, text.stdout)
        for adapter in adapters:
            facts = [adapter["description"], adapter["manufacturer"], "USB 0403:6001",
                     "serial " + adapter["serial_number"], "location " + adapter["location"], adapter["hardware_id"]]
            self.assertIn(f"{adapter['port']}: " + ", ".join(filter(None, facts)), rows)

        if self.runner.kind == WINE:
            # Taken out of the registry again, they are no longer listed.
            after = json.loads(self.kestrin("ports", "--json").stdout)
            self.assertFalse({p["serial_number"] for p in after} & {a["serial_number"] for a in adapters}, after)

    @runs_on(*LINUX, why="it hides a Linux machine's ports in a mount namespace")
    @unittest.skipUnless(shutil.which("unshare") and hasattr(os, "geteuid") and os.geteuid() == 0,
                         "needs root and unshare, to hide this machine's ports")
    def test_a_machine_with_no_ports(self):
        # The tool in a mount namespace where sysfs shows no ttys at all.
        hide = "mount -t tmpfs none /sys/class/tty && { [ ! -d /dev/serial ] || mount -t tmpfs none /dev/serial; }"
        probe = subprocess.run(["unshare", "-m", "sh", "-c", hide], capture_output=True, timeout=30)
        if probe.returncode != 0:
            self.skipTest("mount namespaces are not allowed here: " + probe.stderr.decode())
        runs = [subprocess.run(["unshare", "-m", "sh", "-c", f'{hide} && exec "$@"', "sh",
                                *self.runner.command(self.runner.kestrin, "ports", *extra.split())],
                               capture_output=True, text=True, timeout=30) for extra in ("--json", "")]
        self.assertEqual((runs[0].returncode, runs[0].stdout, runs[0].stderr), (0, "[]\n", ""))
        self.assertEqual((runs[1].returncode, runs[1].stdout), (0, ""))
        self.assertEqual(runs[1].stderr, "kestrin: no serial ports found\n")


@runs_on(NATIVE, WINE, why="umockdev's preload library, which fakes USB adapters on Linux, is x86-64 only")
class UsbIdentity(Scenarios):
    """USB serial adapters as the tool tells them apart and opens them; the
    adapters come from runner.usb_bed (tool_runners.py)."""

    def test_identical_adapters_and_the_uarts_of_one_are_listed_apart_by_location(self):
        # Two of a kind with no serial number at all, and the two UARTs of
        # one adapter, which share one.
        adapters = [UsbAdapter(serial=None, place="1-1.4"), UsbAdapter(serial=None, place="1-1.3"), *dual_adapter()]
        with self.runner.usb_bed(*adapters) as bed:
            listed, text = bed.run("ports", "--json"), bed.run("ports")
            expected = [bed.listed(a) for a in adapters]
        self.assertEqual((listed.status, listed.stderr), (0, ""))
        ports = {p["port"]: p for p in json.loads(listed.stdout)}
        for adapter in expected:
            with self.subTest(port=adapter["port"]):
                self.assertEqual({key: ports.get(adapter["port"], {}).get(key) for key in adapter}, adapter)
        self.assertEqual(len({a["location"] for a in expected}), len(expected), expected)
        self.assertEqual(text.status, 0, text)
        for adapter in expected:
            self.assertIn(f"{adapter['port']}: {adapter['description']}, FTDI, USB {adapter['usb_vendor_id']}:"
                          f"{adapter['usb_product_id']}", text.stdout)
            self.assertIn(f"location {adapter['location']}", text.stdout)

    def test_an_emulated_adapter_answers_and_is_held_alone(self):
        adapter = UsbAdapter(script="expect:HOLD expect:PING send:PONG")
        with self.runner.usb_bed(adapter) as bed:
            port = bed.port(adapter)
            holder = bed.start("monitor", port, "-s", "HOLD", "-d", "30s")
            self.assertTrue(bed.device(adapter).wait_heard(b"HOLD"), "the monitor never had the port")
            busy = bed.run("poll", port, *self.runner.library_args, "-s", "X", "-e", "Y")
            holder.interrupt()
            holder.wait()
            result = bed.run("poll", port, *self.runner.library_args, "-s", "PING", "-e", "PONG")
        self.assertEqual(busy.status, 2, busy)
        self.assertIn("busy", busy.stderr)
        self.assertEqual(result.status, 0, result)

    def test_a_pulled_adapter_hangs_up_and_comes_back(self):
        adapter = UsbAdapter()
        with self.runner.usb_bed(adapter) as bed:
            first = bed.port(adapter)
            monitor = bed.start("monitor", first, "-s", "HI", "--json")
            self.assertTrue(bed.device(adapter).wait_heard(b"HI"), "the monitor never had the port")
            bed.unplug(adapter)
            gone = monitor.wait()
            listed_without = json.loads(bed.run("ports", "--json").stdout)
            bed.plug(adapter, after_ms=300)
            second = bed.port(adapter)
            bed.device(adapter)
            listed_again = json.loads(bed.run("ports", "--json").stdout)
        self.assertEqual(gone.status, 2, gone)
        self.assertEqual(json.loads(gone.stdout.splitlines()[-1])["status"], "device_gone", gone)
        self.assertNotIn(first, [p["port"] for p in listed_without])
        self.assertIn(second, [p["port"] for p in listed_again])
        if self.runner.kind == NATIVE:
            self.assertNotEqual(second, first, "umockdev gives no node twice")


@runs_on(NATIVE, WINE, why="USB adapters are faked natively (umockdev) and under Wine (its registry)")
class StationLoop(Scenarios):
    """A test station's loop: the adapter picked by identity, waited for,
    reset, polled across its resets."""

    def test_an_adapter_is_picked_by_serial_or_location_and_never_guessed(self):
        one, two = identical_adapters(2)
        one.script, two.script = "answer:ID?=ONE", "answer:ID?=TWO"
        with self.runner.usb_bed(one, two) as bed:
            lib = self.runner.library_args
            picks = {(adapter, by): bed.run("poll", bed.selector(adapter, by), *lib, "-s", "ID?", "-e",
                                            "ONE" if adapter is one else "TWO", "--json")
                     for adapter in (one, two) for by in ("serial", "location")}
            either = bed.run("poll", bed.selector(one, "usb"), *lib, "-s", "ID?", "-e", "ONE")
            ports = (bed.port(one), bed.port(two))
            serials = (bed.listed(one)["serial_number"], bed.listed(two)["serial_number"])
        for (adapter, by), result in picks.items():
            with self.subTest(adapter=adapter, by=by):
                self.assertEqual(result.status, 0, result)
                j = json.loads(result.stdout)
                self.assertEqual(j["port"], ports[0] if adapter is one else ports[1])
                self.assertTrue(j["selector"].startswith("usb:" if by == "serial" else "location:"), j)
                self.assertEqual(j["identity"]["serial_number"], serials[0] if adapter is one else serials[1])
        self.assertEqual(either.status, 2, either)
        for port in ports:
            self.assertIn(port, either.stderr, "each match named, none picked")

    def test_a_port_that_comes_a_moment_later_is_waited_for(self):
        adapter = UsbAdapter(script="answer:PING=PONG")
        with self.runner.usb_bed() as bed:
            started = time.monotonic()
            none = bed.run("poll", "usb:0403:6001:NOSUCH", *self.runner.library_args, "-s", "PING", "-e", "PONG",
                           "--wait-port", "2s")
            waited_in_vain = time.monotonic() - started
            bed.plug(adapter, after_ms=1000)
            result = bed.run("poll", bed.selector(adapter, "serial"), *self.runner.library_args, "-s", "PING", "-e",
                             "PONG", "--wait-port", "10s", "--json")
        self.assertEqual(none.status, 2, none)
        self.assertIn("waited 2 s", none.stderr)
        self.assertGreaterEqual(waited_in_vain, 1.9)
        self.assertEqual(result.status, 0, result)
        waited = json.loads(result.stdout)["waited_ms"]
        self.assertGreater(waited, 500, "it was not there at first")
        self.assertLess(waited, 6000, "woken when it came, not at the end of the wait")

    def test_a_device_that_resets_is_waited_for_and_polled_again(self):
        adapter = UsbAdapter(script="answer:PING=PONG")
        lib = self.runner.library_args
        with self.runner.usb_bed(adapter) as bed:
            selector = bed.selector(adapter, "serial")
            # A wait before each poll (a --lines of no levels) spreads the
            # soak over the reset.
            soak = bed.start("poll", selector, *lib, "-s", "PING", "-e", "PONG", "-t", "200", "--repeat", "30",
                             "--lines", "100ms", "--reconnect", "--json")
            time.sleep(1.5)
            bed.unplug(adapter)
            bed.plug(adapter, after_ms=500)
            soaked = soak.wait(60)

            monitor = bed.start("monitor", selector, "-s", "HI", "--reconnect", "-d", "20s", "--json",
                                stdout=subprocess.PIPE)
            self.assertTrue(bed.device(adapter).wait_heard(b"HI", 10), "the monitor never had the port")
            bed.unplug(adapter)
            bed.plug(adapter, after_ms=500)
            events = []
            while not events or events[-1].get("event") != "back":
                line = monitor.read_line(20)
                self.assertTrue(line, f"the monitor ended or said nothing: {events}")
                events.append(json.loads(line))
            bed.device(adapter).send(b"AFTER")
            events += [json.loads(monitor.read_line(20))]
            monitor.interrupt()
            self.assertEqual(monitor.wait(20).status, 130)
        j = json.loads(soaked.stdout)
        # A loaded machine may see the port flicker once more as it goes.
        self.assertGreaterEqual(j["summary"]["reconnects"], 1, soaked)
        self.assertEqual(j["summary"]["errors"], j["summary"]["reconnects"], soaked)
        self.assertEqual(soaked.status, 0, "a soak whose only errors are resets that came back is judged by its polls")
        self.assertEqual(j["polls"][-1]["status"], "matched", "polled again once it was back")
        self.assertEqual([e.get("event") for e in events if "event" in e], ["gone", "back"], events)
        self.assertEqual(events[-1].get("text"), "AFTER", "what came after it was back")

    @runs_on(NATIVE, why="pseudo-terminals get modem lines from a shim only natively")
    def test_a_reset_pulse_comes_before_the_request_and_the_banner_is_polled(self):
        with self.runner.modem_lines() as lines, self.device("expect:PING") as dev:
            lines.on_change(lambda c: c.port == dev.slave_path and c.rose("dtr") and dev.send(b"BOOT\r\n"))
            result = lines.poll(dev.port, "--pulse", "dtr=100ms", "-s", "PING", "-e", "BOOT\r\n", "-t", "2s")
            changes = lines.changes(dev.slave_path)
        self.assertEqual(result.status, 0, result)
        fell = next(c for c in changes if c.fell("dtr"))
        rose = next(c for c in changes if c.rose("dtr"))
        self.assertGreaterEqual(rose.time - fell.time, 0.095, "DTR low for the pulse's length")
        self.assertLess(rose.time - fell.time, 0.4)
        self.assertTrue(dev.heard.endswith(b"PING"), "the request came after the reset")


class Monitor(Scenarios):
    def test_what_arrives_with_its_time_as_hex_and_text(self):
        with self.device("expect:HIHO wait:100 send:OK\\r\\n wait:200 drip:100:TICK") as dev:
            result = self.kestrin("monitor", dev.port, "-s", "HIHO", "-d", "800ms")
        self.assertEqual(dev.heard, b"HIHO")
        self.assertEqual(result.status, 0, result)
        rows = [re.fullmatch(r' +(\d+\.\d{3}) s  ([0-9a-f ]+)  "(.*)"', line) for line in result.stdout.splitlines()]
        self.assertTrue(all(rows), result.stdout)
        # A reply written at once is one row; one dripped 100 ms apart is shown as it came.
        self.assertEqual((rows[0].group(2), rows[0].group(3)), ("4f 4b 0d 0a", "OK\\r\\n"))
        self.assertEqual("".join(row.group(3) for row in rows[1:]), "TICK")
        for row in rows:
            self.assertEqual(bytes.fromhex(row.group(2)), unescape(row.group(3)), row.group(0))
        times = [float(row.group(1)) for row in rows]
        self.assertEqual(times, sorted(times))
        self.assertGreater(times[1] - times[0], 0.1, "the times are when the bytes came")
        self.assertGreater(times[-1] - times[-2], 0.05)
        self.assertRegex(result.stderr, r"^kestrin: monitoring " + re.escape(dev.port) + r" at 9600 baud\n"
                                        r"kestrin: " + re.escape(dev.port) + r": 8 bytes in 0\.\d s\n$")

    def test_json_lines_then_the_end(self):
        with self.device("expect:GO wait:50 drip:100:AB") as dev:
            before = self.runner.hold(dev)
            result = self.kestrin("monitor", dev.port, "-s", "GO", "--duration", "400ms", "--json", "-b", "19200")
            self.assertEqual(self.runner.kept(dev.settings()), before, "monitor puts the settings back too")
        self.assertEqual((result.status, result.stderr), (0, ""))
        objects = json_lines(result.stdout)
        self.assertEqual([o.get("text") for o in objects[:-1]], ["A", "B"])
        self.assertLess(objects[0]["ms"], objects[1]["ms"])
        self.assertEqual((objects[-1]["status"], objects[-1]["bytes"], objects[-1]["exit_code"]), ("done", 2, 0))
        self.assertGreaterEqual(objects[-1]["elapsed_ms"], 350)


class Options(Scenarios):
    def test_any_baud_rate_parity_by_letter_flow_and_times_with_units(self):
        # A pseudo-terminal has no modem lines: Linux says so, Wine's COM port pretends.
        dtr = ["--dtr", "off"] if self.runner.kind == WINE else []
        with self.device("expect:A send:OK") as dev:
            result = self.poll(dev.port, "-s", "A", "-e", "OK", "-b", self.runner.any_rate, "-p", "m",
                               "--flow", "XonXoff", "--data-bits", "7", "-t", "1.5s", "--read-wait", "200ms", *dtr,
                               "-j")
        self.assertEqual(result.status, 0, result)
        j = json.loads(result.stdout)
        self.assertEqual((j["baud"], j["parity"], j["flow"], j["data_bits"], j["timeout_ms"], j["read_wait_ms"]),
                         (int(self.runner.any_rate), "mark", "xonxoff", 7, 1500, 200))
        self.assertEqual((j["dtr"], j["rts"]), ("off" if dtr else "keep", "keep"))


@runs_on(*LINUX, why="kestrin demo plays its device on a Linux pseudo-terminal")
class Demo(Scenarios):
    def test_demo_narrates_a_match_then_a_mismatch(self):
        started = time.monotonic()
        result = self.kestrin("demo", *self.runner.library_args, timeout=20)
        took = time.monotonic() - started
        self.assertEqual(result.status, 0, result)
        port = re.search(r"on (/dev/pts/\d+),", result.stdout).group(1)
        self.assertRegex(result.stdout, "pollUart returned 1: " + matched_line(port))
        self.assertRegex(result.stdout, "pollUart returned 0: " + no_match_line(port, 1500))
        self.assertLess(took, 10)


class ExitPaths(Scenarios):
    """However a run ends, the port is as it was and no longer held: after a
    closed output, a full disk, or a stop signal at any moment."""

    # TIOCGEXCL: whether a program holds the terminal in exclusive mode.
    TIOCGEXCL = 0x80045440

    def assert_released(self, dev, before, why):
        self.assertEqual(self.runner.kept(dev.settings()), before, why)
        if self.runner.kind in LINUX:
            held = struct.unpack("i", fcntl.ioctl(dev.slave, self.TIOCGEXCL, bytes(4)))[0]
            self.assertEqual(held, 0, f"still held exclusively: {why}")

    def test_a_closed_output_is_an_error_like_any_other(self):
        # `kestrin ... | head -1`: the reader goes after one line.
        runs = ((["poll", "{port}", *self.runner.library_args, "-s", "PING", "-e", "PONG", "-b", "57600",
                  "--repeat", "100000"], "answer:PING=PONG"),
                (["monitor", "{port}", "-b", "57600", "-s", "GO"],
                 "expect:GO send:hello wait:300 send:there wait:300 send:again"))
        for args, script in runs:
            with self.device(script) as dev:
                before = self.runner.hold(dev)
                run = self.runner.start(*[dev.port if a == "{port}" else a for a in args], stdout=subprocess.PIPE)
                self.assertNotEqual(run.read_line(), "", args[0])
                run.close_output()
                result = run.wait(30)
                self.assertEqual(result.status, 2, result)
                self.assertIn("cannot write to the standard output", result.stderr)
                self.assert_released(dev, before, args[0])

    def test_a_full_disk_under_the_output_is_an_error_like_any_other(self):
        with self.device("answer:PING=PONG") as dev, open("/dev/full", "w") as full:
            before = self.runner.hold(dev)
            for extra in ([], ["--json"]):
                result = self.runner.start("poll", dev.port, *self.runner.library_args, "-s", "PING", "-e", "PONG",
                                           "-b", "115200", *extra, stdout=full).wait()
                self.assertEqual(result.status, 2, result)
                self.assertIn("cannot write to the standard output", result.stderr)
                self.assert_released(dev, before, f"stdout full {extra}")
            # Nowhere left to say it: the exit status does.
            result = self.runner.start("poll", dev.port, *self.runner.library_args, "-s", "PING", "-e", "PONG",
                                       "-b", "115200", stdout=full, stderr=full).wait()
            self.assertEqual(result.status, 2, result)
            self.assert_released(dev, before, "stdout and stderr full")
            for asked in (["--help"], ["poll", "--help"]):
                result = self.runner.start(*asked, stdout=full).wait()
                self.assertEqual((result.status, result.stderr.count("cannot write to the standard output")), (2, 1),
                                 (asked, result))

    def test_a_stop_signal_at_any_moment_leaves_the_port_as_it_was(self):
        stop = signal.SIGTERM if self.runner.kind in LINUX else signal.SIGINT
        args = ("-s", "PING", "-e", "PONG", "-b", "115200", "--repeat", "3")
        with self.device("answer:PING=PONG") as dev:
            before = self.runner.hold(dev)
            for _ in range(3):
                # A loaded machine may miss a whole run of a few milliseconds.
                run = self.runner.start_poll(dev.port, *args)
                seen = run.wait_until_started(dev)
                started = time.monotonic()
                self.assertEqual(run.wait().status, 0)
                took = time.monotonic() - started
                if seen:
                    break
            self.assertTrue(seen, "the tool was never seen holding the port")
            seed = random.randrange(1 << 30)
            moments = [0, 0.001, took - 0.01, took] + [random.Random(seed + i).uniform(0, took) for i in range(16)]
            for at in moments:
                run = self.runner.start_poll(dev.port, *args)
                run.wait_until_started(dev)
                time.sleep(max(0, at))
                run.interrupt(stop)
                result = run.wait(30)
                why = f"{stop!r} after {at * 1000:.1f} ms of a {took * 1000:.0f} ms run (seed {seed}): {result}"
                if self.runner.kind in LINUX:
                    # Killed before the handlers were up, finished, or interrupted.
                    self.assertIn(result.status, (-stop, 0, 130), why)
                self.assert_released(dev, before, why)
                if result.status == 130 and "polls:" in result.stdout:
                    # One thread writes: nothing comes after the summary, and
                    # the summary counts every poll that was shown.
                    lines = result.stdout.splitlines()
                    shown = sum(1 for line in lines if line.startswith("["))
                    self.assertEqual(summary_counts(result.stdout, dev.port)[0], shown, why)
                    self.assertRegex(lines[-1], "polls:|time to match:", why)

    def test_names_are_shown_safely_and_an_error_reports_only_what_was_read(self):
        accented = "COM\u00e99" if self.runner.kind == WINE else "/dev/kestrin-\u00e9"
        for port in (accented, "ttyX\x1b]0;pwn\x07\nX"):
            text = self.poll(port, "-e", "OK")
            self.assertEqual(text.status, 2, text)
            self.assertEqual(len(text.stderr.splitlines()), 1, text)
            self.assertNotIn("\x1b", text.stderr, "no escape sequence reaches the terminal")
            j = json.loads(self.poll(port, "-e", "OK", "-t", "-1", "--json").stdout)
            self.assertEqual(j["port"], port, "the name as given, in UTF-8")
            self.assertNotIn("timeout_ms", j, "never read, so no default stands in for it")
            if port == accented:
                self.assertIn(accented, text.stderr)

    @runs_on(NATIVE, why="the process's memory is only its own natively")
    def test_a_long_repeat_runs_in_constant_memory(self):
        if os.environ.get("ASAN_OPTIONS") or os.environ.get("TSAN_OPTIONS"):
            self.skipTest("the sanitizers keep freed memory back for their checks")
        with Sim("on PING reply PONG") as sim:
            run = self.runner.start_poll(sim.port, "-s", "PING", "-e", "PONG", "--repeat", "30000", "--json",
                                         stdout=subprocess.DEVNULL)
            samples = []
            while run.running():
                with contextlib.suppress(OSError, ValueError):
                    with open(f"/proc/{run.process.pid}/status") as status:
                        samples += [int(line.split()[1]) for line in status if line.startswith("VmRSS:")]
                time.sleep(0.05)
            self.assertEqual(run.wait().status, 0)
        self.assertGreater(len(samples), 10, "the run was too short to measure")
        # Kept per poll, 30000 polls grew the tool by megabytes.
        quarter = samples[len(samples) // 4]
        self.assertLess(max(samples) - quarter, 512, f"kB of memory: {samples}")

    @runs_on(*LINUX, why="the simulator is Linux's")
    def test_a_killed_host_does_not_keep_the_next_one_out_of_a_simulated_device(self):
        with Sim("on PING reply PONG") as sim:
            held = self.runner.start_poll(sim.port, "-s", "WAIT", "-e", "NEVER", "-t", "10s")
            self.assertEqual(sim.received_until(b"WAIT"), b"WAIT")
            held.process.kill()
            held.wait()
            # The sim hears of the last close a moment after it: a busy port
            # is tried again within the wait, but not for ever.
            self.assertEqual(self.poll(sim.port, "-s", "PING", "-e", "PONG", "--wait-port", "5s").status, 0)


class Records(Scenarios):
    """What a test station keeps: a JUnit file CI reads, and the run's facts."""

    def junit(self, path):
        """The file's one suite, its cases as (name, failure or error type or None, message), and its properties."""
        suite = ElementTree.parse(path).getroot().find("testsuite")
        cases = []
        for case in suite.findall("testcase"):
            bad = case.find("failure") if case.find("failure") is not None else case.find("error")
            cases.append((case.get("name"), None if bad is None else bad.tag, "" if bad is None else bad.get("message")))
        properties = {p.get("name"): p.get("value") for p in suite.find("properties")}
        return suite, cases, properties

    def test_a_mixed_run_as_junit_cases_with_the_runs_facts(self):
        with tempfile.TemporaryDirectory() as folder, \
                self.device("expect:PING send:PONG expect:PING send:NOPE expect:PING wait:100 hangup") as dev:
            path = os.path.join(folder, "poll.xml")
            result = self.poll(dev.port, "-s", "PING", "-e", "PONG", "-t", "0", "--repeat", "5", "--json",
                               "--junit", self.runner.file_name(path), "--label", "dut=SN1234", "--label",
                               "station=3", "--name", "ping")
            suite, cases, properties = self.junit(path)
            self.assertEqual(os.listdir(folder), ["poll.xml"], "no part of it left beside")
        self.assertEqual(result.status, 2, result)
        self.assertEqual((suite.get("tests"), suite.get("failures"), suite.get("errors")), ("3", "1", "1"))
        self.assertEqual([(name, kind) for name, kind, _ in cases],
                         [("ping 1 of 5", None), ("ping 2 of 5", "failure"), ("ping 3 of 5", "error")])
        self.assertIn('4 other bytes came, 4e 4f 50 45 "NOPE"', cases[1][2], "what came, as the failure says it")
        self.assertIn("went away", cases[2][2])
        self.assertEqual((properties["dut"], properties["station"], properties["kestrin.port"]),
                         ("SN1234", "3", dev.port))
        self.assertEqual(properties["kestrin.library_version"], "1.0.0.0")
        j = json.loads(result.stdout)
        self.assertEqual((j["labels"], j["host"], j["started_at"][:2]), ({"dut": "SN1234", "station": "3"},
                                                                          properties["kestrin.host"], "20"))
        self.assertEqual([p["received_bytes"] for p in j["polls"][:2]], [4, 4])

    def test_an_interrupted_run_leaves_a_whole_file_with_the_interruption_as_an_error(self):
        with tempfile.TemporaryDirectory() as folder, self.device("expect:PING send:PONG expect:PING") as dev:
            path = os.path.join(folder, "poll.xml")
            running = self.runner.start_poll(dev.port, "-s", "PING", "-e", "PONG", "-t", "10s", "--repeat", "3",
                                             "--junit", self.runner.file_name(path))
            self.assertTrue(dev.wait_heard(b"PINGPING"))
            time.sleep(0.3)
            running.interrupt()
            self.assertEqual(running.wait(20).status, 130)
            suite, cases, _ = self.junit(path)
            self.assertEqual(os.listdir(folder), ["poll.xml"])
        self.assertEqual([kind for _, kind, _ in cases], [None, "error"])
        self.assertIn("interrupted", cases[1][2])

    def test_a_record_never_replaces_a_folder_a_link_or_a_device(self):
        with tempfile.TemporaryDirectory() as folder:
            mine, link = os.path.join(folder, "mine.xml"), os.path.join(folder, "link.xml")
            with open(mine, "w") as file:
                file.write("keep")
            os.symlink(mine, link)
            # Wine sees through a Linux link to the file behind it.
            targets = [folder] if self.runner.kind == WINE else [folder, link]
            for path in targets:
                result = self.poll("nosuchport", "-e", "X", "--junit", self.runner.file_name(path))
                self.assertEqual(result.status, 2, result)
                self.assertIn("is not a regular file", result.stderr)
            with open(mine) as file:
                self.assertEqual(file.read(), "keep")
            self.assertEqual(sorted(os.listdir(folder)), ["link.xml", "mine.xml"], "nothing written beside them")


def groups_for(kind):
    """The groups with at least one scenario for runners of that kind."""
    found = []
    for name, group in globals().items():
        if isinstance(group, type) and issubclass(group, Scenarios) and group is not Scenarios:
            tests = [getattr(group, t) for t in unittest.defaultTestLoader.getTestCaseNames(group)]
            if any(applies(t if hasattr(t, "runs_on") else group, kind) for t in tests):
                found.append(name)
    return found


def main(arguments):
    global RUNNER
    kind = arguments[0] if arguments else None
    if kind == "groups" and len(arguments) == 2:
        print("\n".join(groups_for(arguments[1])))
        return 0
    if kind == NATIVE and len(arguments) >= 3:
        RUNNER, rest = LinuxRunner(os.path.abspath(arguments[1]), os.path.abspath(arguments[2])), arguments[3:]
    elif kind == QEMU and len(arguments) >= 4:
        RUNNER = LinuxRunner(os.path.abspath(arguments[2]), os.path.abspath(arguments[3]), shlex.split(arguments[1]))
        rest = arguments[4:]
    elif kind == WINE and len(arguments) >= 4:
        RUNNER, rest = WineRunner(os.path.abspath(arguments[1]), arguments[2], arguments[3]), arguments[4:]
    else:
        sys.exit(__doc__)
    with RUNNER:
        program = unittest.main(argv=[sys.argv[0], *rest], verbosity=2, exit=False)
    return 0 if program.result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
