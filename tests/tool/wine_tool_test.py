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
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "windows"))
import wine_com  # noqa: E402
from tool_checks import (check_help_examples, error_object, help_hint, is_usage_error,  # noqa: E402
                         matched_line, no_match_line)

KESTRIN = PREFIX = WINE = None


def run(*args, device=None, timeout=40):
    """Runs kestrin.exe ARGS with {dev} standing for the device's COM port.

    Returns (status, output with stdout and stderr merged, the device or None).
    """
    devices = {"dev": device} if device is not None else {}
    status, output, played = wine_com.run_with_devices(PREFIX, [KESTRIN, *args], devices, WINE, timeout)
    return status, output, played.get("dev")


class WinePoll(unittest.TestCase):
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
        cases = ((["NOSUCHPORT", "--expect", "OK", "--baud", "7"], ["unknown baud rate 7", help_hint("poll")]),
                 (["--expect", "OK"], ["port", help_hint("poll")]),
                 (["NOSUCHPORT", "--expect", "OK"], ["cannot open: "]))
        for args, words in cases:
            status, output, _ = run("poll", *args, "--json")
            with self.subTest(args=args):
                self.assertEqual(status, 2, output)
                error_object(self, output, *words)


class WineAbout(unittest.TestCase):
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
        self.assertRegex(output, r"kestrin \d+\.\d+\.\d+.*\r?\nlibrary 1\.0\.0\.0 \(16777216\) ")


class WineHelp(unittest.TestCase):
    def test_mistakes_point_to_the_subcommands_help(self):
        status, output, _ = run("poll", "NOSUCHPORT", "--expect", "OK", "--parity", "mark")
        self.assertEqual(status, 2, output)
        self.assertIn("kestrin: NOSUCHPORT: parity must be none, even or odd, not 'mark' " + help_hint("poll"), output)

    def test_every_subcommands_help_ends_with_examples_that_parse(self):
        for command in ("poll", "about", "ports"):
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


if __name__ == "__main__":
    if len(sys.argv) < 4:
        sys.exit(__doc__)
    KESTRIN, PREFIX, WINE = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2]), sys.argv[3]
    unittest.main(argv=[sys.argv[0], *sys.argv[4:]], verbosity=2)
