"""The read tap: what the library read, seen without changing the reads.

The build tree has the tap beside the library, where the module finds it.
"""

import os
import subprocess
import sys
import threading

import pytest

import kestrin
from kestrin import _tap


@pytest.fixture
def tap():
    found = kestrin._library().tap
    assert found is not None, kestrin._library().tap_problem
    return found


class TestTracedPoll:
    def test_the_tap_is_found_beside_the_library_and_bound_to_its_read(self, tap):
        assert os.path.dirname(tap.path) == os.path.dirname(kestrin.library_path())
        assert tap.slots >= 1

    def test_reads_are_what_the_library_consumed_and_the_rest_stays(self, pty_port):
        # Four bytes per attempt: a wrong attempt, then the match; what
        # follows the reply is no business of the poll's.
        pty_port.device_sends(b"NOPEPONGREST")
        result = kestrin.traced_poll(pty_port.slave, b"PONG", 1000)
        assert result.matched
        assert b"".join(read.data for read in result.reads) == b"NOPEPONG"
        assert result.delivered == 8 and result.unknown == ""
        assert pty_port.host_reads_rest() == b"REST"

    def test_times_are_since_the_poll_began(self, pty_port):
        threading.Timer(0.3, pty_port.device_sends, args=(b"LATE",)).start()
        result = kestrin.traced_poll(pty_port.slave, b"LATE", 3000)
        assert result.matched
        first = result.reads[0].at_ms
        assert 250 <= first <= 2000
        assert all(a.at_ms <= b.at_ms for a, b in zip(result.reads, result.reads[1:]))
        assert result.reads[-1].at_ms <= result.elapsed_ms

    def test_silence_reads_nothing(self, pty_port):
        result = kestrin.traced_poll(pty_port.slave, b"OK", 0)
        assert not result.matched
        assert result.reads == () and result.delivered == 0

    def test_only_the_library_reads_are_seen(self, tap, pty_port):
        watch = tap.watch(pty_port.slave)
        pty_port.device_sends(b"MINE")
        assert os.read(pty_port.slave, 4) == b"MINE"
        watch.finish()
        assert watch.reads == () and watch.delivered == 0

    def test_a_watch_sees_only_its_own_port(self, tap, pty_port):
        other = os.dup(pty_port.slave)
        try:
            watch = tap.watch(other)
            pty_port.device_sends(b"PONG")
            assert kestrin.poll(pty_port.slave, b"PONG", 1000)
            watch.finish()
            assert watch.delivered == 0
        finally:
            os.close(other)

    def test_binding_again_does_not_route_reads_through_the_tap_twice(self, tap, pty_port):
        # A second attach finds the slots already leading to the tap: were
        # they taken for the next read, every read would call itself.
        again = _tap.Tap(tap.path, kestrin.ctypes.cast(kestrin._library().poll, kestrin.ctypes.c_void_p).value)
        assert again.slots == tap.slots
        pty_port.device_sends(b"PONG")
        result = kestrin.traced_poll(pty_port.slave, b"PONG", 1000)
        assert result.matched and b"".join(r.data for r in result.reads) == b"PONG"

    def test_polls_in_threads_each_see_their_own_port(self, pty_port):
        from conftest import PseudoTerminal

        second = PseudoTerminal()
        results = {}
        try:
            def run(name, port, reply):
                results[name] = kestrin.traced_poll(port.slave, reply, 2000)

            threads = [threading.Thread(target=run, args=("a", pty_port, b"AAAA")),
                       threading.Thread(target=run, args=("b", second, b"BBBB"))]
            for thread in threads:
                thread.start()
            pty_port.device_sends(b"xAAAA")
            second.device_sends(b"BBBB")
            for thread in threads:
                thread.join(10)
        finally:
            second.close()
        assert b"".join(r.data for r in results["a"].reads) == b"xAAAA"
        assert b"".join(r.data for r in results["b"].reads) == b"BBBB"


# The same exchange in a fresh interpreter, with the tap or without: the
# poll's outcome and what it leaves in the port must not differ.
EXCHANGE = """
import os, termios, tty
import kestrin
master, slave = os.openpty()
tty.setraw(slave)
settings = termios.tcgetattr(slave)
settings[6][termios.VMIN], settings[6][termios.VTIME] = 0, 1
termios.tcsetattr(slave, termios.TCSANOW, settings)
os.write(master, b"xxOKOKzz")
first = kestrin.traced_poll(slave, b"OK", 1000)
second = kestrin.traced_poll(slave, b"OK", 1000)
os.set_blocking(slave, False)
print(first.matched, second.matched, os.read(slave, 64))
print(kestrin._library().tap is not None, first.unknown)
"""


def exchange(tap_setting):
    env = dict(os.environ, KESTRIN_TAP=tap_setting)
    run = subprocess.run([sys.executable, "-c", EXCHANGE], env=env, capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    return run.stdout.splitlines()


def test_the_reads_are_the_same_with_the_tap_as_without(tap):
    with_tap = exchange(tap.path)
    without = exchange("/nonexistent/libkestrin_tap.so")
    assert with_tap[0] == without[0] == "True True b'zz'"
    assert with_tap[1] == "True "
    assert without[1].startswith("False no read tap (KESTRIN_TAP names /nonexistent/libkestrin_tap.so")


def test_a_file_that_is_no_tap_is_said_so_and_polls_go_on(pty_port, fresh_module, monkeypatch):
    monkeypatch.setenv("KESTRIN_TAP", kestrin.__file__)
    assert fresh_module._library().tap is None
    assert "does not work" in fresh_module._library().tap_problem
    pty_port.device_sends(b"PONG")
    result = fresh_module.traced_poll(pty_port.slave, b"PONG", 1000)
    assert result.matched and result.reads is None and "does not work" in result.unknown


def test_reads_are_grouped_by_the_call_that_delivered_them():
    kept = [(1_000_000, 0x41), (1_000_000, 0x42), (3_500_000, 0x43)]
    assert _tap.group_reads(kept, 0) == (_tap.Read(1.0, b"AB"), _tap.Read(3.5, b"C"))
