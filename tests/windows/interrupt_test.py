#!/usr/bin/env python3
"""Ctrl-C in the tool's Windows host code, under Wine.

  interrupt_test.py PROBE_EXE WINEPREFIX WINE [unittest arguments]

Wine turns SIGINT into a console control event on a thread of its own, as
Windows does for Ctrl-C; no console is needed. The probes are modes of
kestrin_tool_host_test (tool_host_main.cpp). Python 3 standard library only.
"""

import os
import sys
import termios
import time
import unittest

import wine_com

PROBE = PREFIX = WINE = None

def run_and_interrupt(args, devices, ready_text, when_ready=None, settle=0.3):
    """Runs the probe, waits until it has printed `ready_text`, every device
    has played its script and `settle` seconds more have passed, calls
    when_ready(run), then sends Ctrl-C."""
    def during(run):
        if run.wait_for_output(ready_text) and run.wait_for_devices():
            time.sleep(settle)
            if when_ready is not None:
                when_ready(run)
            run.interrupt()
    return wine_com.run_with_devices(PREFIX, [PROBE, *args], devices, WINE, timeout=40, during=during)


class Interrupt(unittest.TestCase):
    def test_ctrl_c_mid_poll_restores_the_port_and_exits_130(self):
        seen = {}

        def look(run):
            seen["while polling"] = run.devices["dev"].settings()

        status, output, played = run_and_interrupt(["interrupt-probe", "{dev}"], {"dev": "expect:PING"}, "polling",
                                                   look)
        device = played["dev"]
        self.assertEqual(status, 130, output)
        self.assertIn("polling", output)
        # The poll cannot be cut short: it ran on a thread of its own, and
        # the main thread put the port back and ended the process without
        # the poll ever returning.
        self.assertIn("interrupted on the main thread", output)
        self.assertNotIn("the poll returned", output)
        self.assertIsNone(device.failure)

        before = wine_com.dcb_part(device.settings_before)
        during = wine_com.dcb_part(seen["while polling"])
        after = wine_com.dcb_part(device.settings_after)
        self.assertEqual(during["speed"], (termios.B115200, termios.B115200))
        self.assertTrue(during["cflag"] & termios.CSTOPB)
        self.assertNotEqual(before, during, "the probe's settings never reached the port")
        self.assertEqual(after, before)

    def test_a_guard_that_is_gone_leaves_ctrl_c_alone(self):
        status, output, _ = run_and_interrupt(["released-probe"], {}, "waiting")
        self.assertIn("waiting", output)
        self.assertNotIn("interrupted", output)
        # The system's own handling: the process ends, but not as the
        # guard's 130 and not by running out its wait.
        self.assertNotIn(status, (130, 3, 124), output)


if __name__ == "__main__":
    if len(sys.argv) < 4:
        sys.exit(__doc__)
    PROBE, PREFIX, WINE = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2]), sys.argv[3]
    unittest.main(argv=[sys.argv[0], *sys.argv[4:]], verbosity=2)
