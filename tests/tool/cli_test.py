#!/usr/bin/env python3
"""The Linux kestrin tool end to end, against `kestrin sim` devices.

  cli_test.py KESTRIN LIBRARY [unittest arguments, e.g. a class name]

Python 3 standard library only. Devices report readiness by printing their
port, and what they receive through --trace, so nothing waits on a sleep.
"""

import ctypes.util
import json
import os
import pty
import queue
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest
from concurrent.futures import ThreadPoolExecutor

from tool_checks import check_help_examples, error_object, help_hint, is_usage_error, matched_line, no_match_line

KESTRIN = None
LIBRARY = None


class Sim:
    """`kestrin sim --trace RULES...`, read line by line on a thread."""

    def __init__(self, *rules, extra=()):
        self.process = subprocess.Popen([KESTRIN, "sim", "--trace", *extra, *rules], stdout=subprocess.PIPE,
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
            if line.startswith(prefix + " "):
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
    return subprocess.run([KESTRIN, *args], capture_output=True, text=True, timeout=timeout,
                          stdin=subprocess.DEVNULL, **kwargs)


def poll(port, *args, **kwargs):
    return kestrin("poll", port, "--library", LIBRARY, *args, **kwargs)


def run_example(args):
    """Runs `kestrin ARGS` as a help example gives it: (status, output).

    A sim runs until it is stopped, so it is stopped once its port is there.
    """
    if args[0] != "sim":
        result = kestrin(*args)
        return result.returncode, result.stdout + result.stderr
    process = subprocess.Popen([KESTRIN, *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
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
        probe = subprocess.run([*as_nobody, KESTRIN, "--version", "--library", LIBRARY], capture_output=True,
                               timeout=30)
        if probe.returncode != 0:
            self.skipTest("the build cannot be run by another user here")
        with Sim() as sim:  # its port belongs to root, and to the tty group
            result = subprocess.run([*as_nobody, KESTRIN, "poll", sim.port, "--library", LIBRARY, "--expect", "OK"],
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

    def test_version_names_tool_and_library(self):
        result = kestrin("--version", "--library", LIBRARY)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertRegex(result.stdout, r"^kestrin \d+\.\d+\.\d+\S*, library 1\.0\.0\.0 \(16777216\) "
                                        + re.escape(LIBRARY) + "\n$", "both versions, on one line")

    def test_library_is_found_beside_the_executable(self):
        with tempfile.TemporaryDirectory() as folder:
            shutil.copy(KESTRIN, folder)
            shutil.copy(LIBRARY, os.path.join(folder, "libkestrin.so"))
            result = subprocess.run([os.path.join(folder, "kestrin"), "about"], capture_output=True, text=True,
                                    timeout=30)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn(f"Library:  {folder}/libkestrin.so\n", result.stdout)

    def test_help_on_every_subcommand(self):
        for command in ("poll", "about", "ports", "sim", "demo"):
            result = kestrin(command, "--help")
            self.assertEqual(result.returncode, 0, command)
            self.assertIn("Usage:", result.stdout.replace("usage:", "Usage:"), command)
        self.assertIn("on TEXT reply TEXT", kestrin("sim", "--help").stdout)
        self.assertIn("--expect", kestrin("poll", "--help").stdout)

    def test_every_subcommands_help_ends_with_examples_that_parse(self):
        port = "/dev/kestrin-no-such-port"
        for command in ("poll", "about", "ports", "sim", "demo"):
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
            self.assertTrue(line.startswith("/dev/"), line)


class LiveStatus(unittest.TestCase):
    def run_with_stderr_terminal(self, args):
        master, slave = pty.openpty()
        try:
            process = subprocess.Popen([KESTRIN, *args], stdout=subprocess.PIPE, stderr=slave,
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
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    KESTRIN, LIBRARY = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    unittest.main(argv=[sys.argv[0], *sys.argv[3:]], verbosity=2)
