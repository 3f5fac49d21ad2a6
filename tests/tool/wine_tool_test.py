#!/usr/bin/env python3
"""kestrin.exe under Wine, polling COM ports that are Linux pseudo-terminals.

  wine_tool_test.py KESTRIN_EXE WINEPREFIX WINE [unittest arguments]

Uses the Wine harness of tests/windows (wine_com.py): each device is a
scripted pseudo-terminal linked into the prefix as a COM port. Python 3
standard library only.
"""

import json
import os
import re
import sys
import termios
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "windows"))
import wine_com  # noqa: E402
from tool_checks import (check_help_examples, error_object, help_hint, is_usage_error,  # noqa: E402
                         matched_line, no_match_line)

KESTRIN = PREFIX = WINE = None


def run(*args, device=None, timeout=40, during=None):
    """Runs kestrin.exe ARGS with {dev} standing for the device's COM port.

    Returns (status, output with stdout and stderr merged, the device or None).
    `during` is wine_com's hook beside the program.
    """
    devices = {"dev": device} if device is not None else {}
    status, output, played = wine_com.run_with_devices(PREFIX, [KESTRIN, *args], devices, WINE, timeout,
                                                       during=during)
    return status, output, played.get("dev")


def interrupt_once_polling(settle=0.5, seen=None):
    """A hook that sends Ctrl-C once the device has heard the request and
    `settle` seconds more have passed, noting the port's settings then in
    seen["while running"]."""
    def during(run_):
        if run_.wait_for_devices():
            time.sleep(settle)
            if seen is not None:
                seen["while running"] = run_.devices["dev"].settings()
            run_.interrupt()
    return during


def json_lines(output):
    """Every line of output that is a JSON object or array, parsed."""
    return [json.loads(line) for line in output.splitlines() if line.startswith(("{", "["))]


_help = {}


def help_of(*command):
    """kestrin.exe COMMAND --help, run once."""
    if command not in _help:
        _help[command] = run(*command, "--help")[1]
    return _help[command]


class ToolTest(unittest.TestCase):
    def assert_put_back(self, device, seen):
        """The port ran at 115200 baud with two stop bits while seen, and
        ended as it began, as far as a DCB says."""
        before = wine_com.dcb_part(device.settings_before)
        during = wine_com.dcb_part(seen["while running"])
        self.assertEqual(during["speed"], (termios.B115200, termios.B115200))
        self.assertTrue(during["cflag"] & termios.CSTOPB)
        self.assertNotEqual(during, before, "the tool's settings never reached the port")
        self.assertEqual(wine_com.dcb_part(device.settings_after), before)


class WinePoll(ToolTest):
    def test_matching_reply_exits_0_and_the_request_reached_the_device(self):
        status, output, device = run("poll", "{dev}", "--send", "PING\\r\\n", "--expect", "PONG\\r\\n",
                                     "--timeout", "3000",
                                     device="expect:PING\\r\\n wait:400 send:PONG\\r\\nTRAILER")
        self.assertEqual(status, 0, output)
        self.assertIsNone(device.failure, "the device never got the request")
        found = re.search(matched_line(device.port), output)
        self.assertIsNotNone(found, output)
        # The device's wait starts when the request reaches it, a little
        # before the poll starts.
        self.assertGreaterEqual(int(found.group(1)), 200)
        self.assertLess(int(found.group(1)), 3000)

    def test_wrong_replies_exit_1_after_the_budget(self):
        wrong = " ".join(["send:NOPE wait:50"] * 30)
        status, output, device = run("poll", "{dev}", "--send", "PING", "--expect", "OKAY", "--timeout", "300",
                                     device="expect:PING " + wrong)
        self.assertEqual(status, 1, output)
        found = re.search(no_match_line(device.port, 300), output)
        self.assertIsNotNone(found, output)
        self.assertGreaterEqual(int(found.group(1)), 300)
        self.assertLess(int(found.group(1)), 2000)

    def test_json_with_hex_and_escapes(self):
        status, output, device = run("poll", "{dev}", "--send-hex", "01 ff", "--expect", "\\r\\n\\x00OK",
                                     "--json", "--baud", "115200", "--parity", "even",
                                     device="expect:\\x01\\xff send:\\r\\n\\x00OK")
        self.assertEqual(status, 0, output)
        j = json.loads(output.splitlines()[0])
        self.assertEqual((j["status"], j["matched"], j["exit_code"]), ("matched", True, 0))
        self.assertEqual((j["port"], j["sent_hex"], j["expect_hex"]), (device.port, "01 ff", "0d 0a 00 4f 4b"))
        self.assertEqual((j["baud"], j["parity"], j["library_version"]), (115200, "even", "1.0.0.0"))

    def test_stale_input_is_discarded_before_the_request(self):
        # The device speaks before the program has even started.
        status, output, _ = run("poll", "{dev}", "--send", "X", "--expect", "OK", "--timeout", "0",
                                device="send:OK expect:X send:NO")
        self.assertEqual(status, 1, "the stale OK must not match: " + output)

    def test_port_that_cannot_be_opened_exits_2(self):
        status, output, _ = run("poll", "NOSUCHPORT", "--expect", "OK")
        self.assertEqual(status, 2, output)
        self.assertRegex(output, r"kestrin: NOSUCHPORT: cannot open: ")

    def test_bad_input_exits_2_before_the_port_is_opened(self):
        status, output, _ = run("poll", "NOSUCHPORT", "--expect", "A" * 21)
        self.assertEqual(status, 2, output)
        self.assertIn("kestrin: NOSUCHPORT: the expected reply is 21 bytes", output)

    def test_missing_library_exits_2(self):
        status, output, _ = run("poll", "NOSUCHPORT", "--expect", "OK", "--library", "C:\\nowhere\\kestrin.dll")
        self.assertEqual(status, 2, output)
        self.assertIn("cannot load the library C:\\nowhere\\kestrin.dll", output)

    def test_with_json_every_error_is_one_object_and_nothing_else(self):
        cases = ((["NOSUCHPORT", "--expect", "OK", "--stop-bits", "3"],
                  ["stop bits must be 1 or 2", help_hint("poll")]),
                 (["--expect", "OK"], ["port", help_hint("poll")]),
                 (["NOSUCHPORT", "--expect", "OK"], ["cannot open: "]))
        for args, words in cases:
            status, output, _ = run("poll", *args, "--json")
            with self.subTest(args=args):
                self.assertEqual(status, 2, output)
                error_object(self, output, *words)


class WineAbout(ToolTest):
    def test_about_shows_the_version_both_ways_and_the_text(self):
        status, output, _ = run("about")
        self.assertEqual(status, 0, output)
        self.assertRegex(output, r"Library:  .*\\kestrin\.dll\r?\n")
        self.assertIn("Version:  16777216 (1.0.0.0)", output)
        self.assertRegex(output, r"Name:\t\tXMODEM\r?\nVersion:\t1\.0\.0\.00\r?\nDate:\t\t\w{3} [ \d]\d \d{4} "
                                 r"\(\d\d:\d\d:\d\d\)")

    def test_version(self):
        status, output, _ = run("--version")
        self.assertEqual(status, 0, output)
        self.assertRegex(output, r"^kestrin \d+\.\d+\.\d+\S*, library 1\.0\.0\.0 \(16777216\) \S*\\kestrin\.dll\r?\n$")


class WineHelp(ToolTest):
    def test_mistakes_point_to_the_subcommands_help(self):
        status, output, _ = run("poll", "NOSUCHPORT", "--expect", "OK", "--parity", "Q")
        self.assertEqual(status, 2, output)
        self.assertRegex(output, r"kestrin: NOSUCHPORT: parity must be none, even\b.*, not 'Q' "
                         + re.escape(help_hint("poll")))

    def test_every_subcommands_help_ends_with_examples_that_parse(self):
        commands = ["poll", "monitor", "about", "ports"]
        for command in commands:
            status, output, _ = run(command, "--help")
            self.assertEqual(status, 0, output)
            for example in check_help_examples(self, output, command):
                # Never a real device: the example's port becomes one that is not there.
                args = ["NOSUCHPORT" if arg == "COM3" else arg for arg in example]
                with self.subTest(example=example):
                    status, output, _ = run(*args)
                    self.assertFalse(is_usage_error(output), output)
                    self.assertIn(status, (0, 2), output)
                    if status == 2:
                        self.assertRegex(output, "cannot open|cannot load", "only for want of a port or library")


class WinePort(ToolTest):
    """The port is the tool's alone while it polls, and is left as it was."""

    def test_a_port_in_use_is_busy_and_named(self):
        others = {}

        def second_poll(run_):
            if run_.wait_for_devices():
                time.sleep(0.3)
                others["text"] = run_.run_other([KESTRIN, "poll", "{dev}", "--expect", "X"])
                others["json"] = run_.run_other([KESTRIN, "poll", "{dev}", "--expect", "X", "--json"])

        # The first poll waits out one idle stop on a silent device.
        status, output, device = run("poll", "{dev}", "--send", "PING", "--expect", "NEVER", "--timeout", "0",
                                     device="expect:PING", during=second_poll)
        self.assertEqual(status, 1, output)
        self.assertIn("text", others, "the first poll ended before the second could start")
        status, text = others["text"]
        self.assertEqual(status, 2, text)
        self.assertRegex(text, re.escape(f"kestrin: {device.port}: busy: ") + r"another (kestrin|program)")
        status, text = others["json"]
        self.assertEqual(status, 2, text)
        j = json.loads(text.splitlines()[0])
        self.assertEqual((j["status"], j["exit_code"], j["port"]), ("busy", 2, device.port))

    def test_settings_are_put_back_after_a_poll(self):
        seen = {}

        def look(run_):
            if run_.wait_for_devices():
                time.sleep(0.5)
                seen["while running"] = run_.devices["dev"].settings()

        status, output, device = run("poll", "{dev}", "--send", "PING", "--expect", "NEVER", "--timeout", "0",
                                     "--baud", "115200", "--stop-bits", "2", device="expect:PING", during=look)
        self.assertEqual(status, 1, output)
        self.assert_put_back(device, seen)

    def test_settings_are_put_back_after_ctrl_c(self):
        seen = {}
        status, output, device = run("poll", "{dev}", "--send", "PING", "--expect", "NEVER", "--timeout", "60s",
                                     "--baud", "115200", "--stop-bits", "2", "--json", device="expect:PING",
                                     during=interrupt_once_polling(seen=seen))
        self.assertEqual(status, 130, output)
        j = json_lines(output)[-1]
        self.assertEqual((j["status"], j["exit_code"], j["port"]), ("interrupted", 130, device.port))
        self.assert_put_back(device, seen)

    def test_a_device_that_hangs_up_is_gone_not_silent(self):
        # Under Wine a hung-up line reads as a silent one, so the poll runs
        # to the library's idle stop before the port's state tells.
        status, output, device = run("poll", "{dev}", "--send", "PING", "--expect", "OKAY", "--timeout", "1s",
                                     "--json", device="expect:PING wait:200 send:NO wait:100 hangup")
        self.assertEqual(status, 2, output)
        j = json_lines(output)[-1]
        self.assertEqual((j["status"], j["exit_code"], j["port"]), ("device_gone", 2, device.port))
        self.assertIn("went away", j["error"])

    def test_any_rate_and_line_settings_the_driver_takes(self):
        status, output, _ = run("poll", "{dev}", "--send", "PING", "--expect", "OK", "--baud", "250000",
                                "--flow", "xonxoff", "--dtr", "off", "--parity", "m",
                                device="expect:PING send:OK")
        self.assertEqual(status, 0, output)


class WineTrace(ToolTest):
    """poll --trace: what kestrin.dll's ReadFile calls delivered."""

    def test_a_wrong_reply_is_shown_before_the_result(self):
        status, output, device = run("poll", "{dev}", "--send", "PING", "--expect", "OKAY", "--timeout", "300ms",
                                     "--trace", device="expect:PING wait:100 send:NOPE")
        self.assertEqual(status, 1, output)
        found = re.search(re.escape(f"{device.port}: the library read 4 bytes:") + r"\r?\n +([\d.]+) ms  "
                          r"4e 4f 50 45  \"NOPE\"\r?\n" + no_match_line(device.port, 300), output)
        self.assertIsNotNone(found, output)
        # Sent 100 ms after the request, and the poll began after sending it.
        self.assertGreater(float(found.group(1)), 30)

    def test_json_lists_every_byte_of_every_attempt(self):
        status, output, _ = run("poll", "{dev}", "--send", "PING", "--expect", "OKAY", "--timeout", "3s", "--trace",
                                "--json", device="expect:PING wait:100 send:NOPE wait:300 send:OKAY")
        self.assertEqual(status, 0, output)
        j = json_lines(output)[0]
        self.assertEqual(j["status"], "matched")
        trace = j["trace"]
        self.assertEqual("".join(t["char"] for t in trace), "NOPEOKAY")
        self.assertEqual([t["byte"] for t in trace[:4]], ["4e", "4f", "50", "45"])
        times = [t["ms"] for t in trace]
        self.assertEqual(times, sorted(times))
        self.assertGreater(times[4] - times[3], 200)


class WineTiming(ToolTest):
    """Late matches and --repeat, through the real DLL."""

    def test_a_match_after_the_budget_is_late(self):
        device = "expect:PING wait:100 send:NOPE wait:400 send:OKAY"
        status, output, found = run("poll", "{dev}", "--send", "PING", "--expect", "OKAY", "--timeout", "300",
                                    device=device)
        self.assertEqual(status, 0, output)
        self.assertRegex(output, re.escape(found.port) + r": matched in \d+ ms, late: after the budget of 300 ms")
        status, output, _ = run("poll", "{dev}", "--send", "PING", "--expect", "OKAY", "--timeout", "300",
                                "--strict", "--json", device=device)
        self.assertEqual(status, 1, output)
        j = json_lines(output)[0]
        self.assertEqual((j["status"], j["late"], j["exit_code"]), ("matched", True, 1))
        self.assertGreater(j["elapsed_ms"], 300)

    def test_repeat_ends_with_a_summary(self):
        wrong = " ".join(["send:NO wait:60"] * 6)
        status, output, device = run("poll", "{dev}", "--send", "PING", "--expect", "OK", "--timeout", "200ms",
                                     "--repeat", "3", "--json",
                                     device=f"expect:PING send:OK expect:PING send:OK expect:PING {wrong}")
        self.assertEqual(status, 1, output)
        self.assertIsNone(device.failure, "each poll sends its request")
        j = json_lines(output)[-1]
        summary = j["summary"]
        self.assertEqual((summary["polls"], summary["matched"], summary["no_match"], summary["errors"]),
                         (3, 2, 1, 0))
        self.assertLessEqual(summary["latency_ms"]["min"], summary["latency_ms"]["max"])
        self.assertEqual([p["status"] for p in j["polls"]], ["matched", "matched", "no_match"])


class WineMonitor(ToolTest):
    """kestrin monitor: what arrives, read by the tool itself."""

    def test_prints_what_arrives_until_the_duration(self):
        status, output, _ = run("monitor", "{dev}", "--send", "GO", "--duration", "1500ms",
                                device="expect:GO send:hello wait:300 drip:100:abc")
        self.assertEqual(status, 0, output)
        lines = re.findall(r"^ *([\d.]+) s  ([0-9a-f ]+)  \"(.*)\"\r?$", output, re.MULTILINE)
        self.assertEqual("".join(text for _, _, text in lines), "helloabc", output)
        self.assertEqual(lines[0][1], "68 65 6c 6c 6f")
        times = [float(at) for at, _, _ in lines]
        self.assertEqual(times, sorted(times))
        # Dripped 100 ms apart, and each shown as it came.
        self.assertGreater(times[-1] - times[-2], 0.05)
        self.assertIn("8 bytes", output)

    def test_ctrl_c_ends_it_with_130_and_the_port_as_it_was(self):
        seen = {}
        status, output, device = run("monitor", "{dev}", "--send", "GO", "--baud", "115200", "--stop-bits", "2",
                                     "--json", device="expect:GO send:hi",
                                     during=interrupt_once_polling(seen=seen))
        self.assertEqual(status, 130, output)
        objects = json_lines(output)
        self.assertEqual((objects[0]["hex"], objects[0]["text"]), ("68 69", "hi"))
        self.assertEqual((objects[-1]["status"], objects[-1]["bytes"]), ("interrupted", 2))
        self.assert_put_back(device, seen)


class WinePorts(ToolTest):
    def test_json_is_an_array_of_ports_each_once(self):
        status, output, _ = run("ports", "--json")
        self.assertEqual(status, 0, output)
        lines = output.strip().splitlines()
        self.assertEqual(len(lines), 1, "one JSON array, nothing else: " + output)
        ports = json.loads(lines[0])
        self.assertIsInstance(ports, list)
        names = [p["port"] for p in ports]
        self.assertTrue(all(isinstance(n, str) and n for n in names), ports)
        self.assertEqual(len(set(n.upper() for n in names)), len(names), ports)
        # The same ports as the text listing, in the same order.
        status, text, _ = run("ports")
        self.assertEqual(status, 0, text)
        listed = [line.split(":")[0].split(" ")[0] for line in text.splitlines()
                  if line and not line.startswith((" ", "kestrin:"))]
        self.assertEqual(listed, names, text)


if __name__ == "__main__":
    if len(sys.argv) < 4:
        sys.exit(__doc__)
    KESTRIN, PREFIX, WINE = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2]), sys.argv[3]
    unittest.main(argv=[sys.argv[0], *sys.argv[4:]], verbosity=2)
