"""Pseudo-terminals for the Python module's tests: the slave side is the
host's port, the master side plays the device."""

import os
import termios
import tty

import pytest

import kestrin

# The simulated-device fixture, as a test bench with the wheel has it.
pytest_plugins = ["kestrin.testing"]


class PseudoTerminal:
    def __init__(self):
        self.master, self.slave = os.openpty()
        self.path = os.ttyname(self.slave)
        # Raw, and a read waits at most 0.1 s for a byte, as a host would set it.
        tty.setraw(self.slave)
        settings = termios.tcgetattr(self.slave)
        settings[6][termios.VMIN] = 0
        settings[6][termios.VTIME] = 1
        termios.tcsetattr(self.slave, termios.TCSANOW, settings)

    def device_sends(self, data):
        assert os.write(self.master, data) == len(data)

    def host_reads_rest(self):
        """What the host side can still read."""
        rest = b""
        while True:
            chunk = os.read(self.slave, 64)
            if not chunk:
                return rest
            rest += chunk

    def close(self):
        for fd in (self.master, self.slave):
            try:
                os.close(fd)
            except OSError:
                pass


@pytest.fixture
def pty_port():
    port = PseudoTerminal()
    yield port
    port.close()


@pytest.fixture
def fresh_module(monkeypatch):
    """The module as if just imported: no library loaded yet."""
    monkeypatch.setattr(kestrin, "_loaded", None)
    return kestrin


class _Tripwire:
    """Stands in for the loaded library and fails the test if it is called."""

    path = "tripwire"

    def _called(self, *args):
        pytest.fail(f"the library was called with {args!r}")

    poll = version = about = _called


@pytest.fixture
def no_library_calls(monkeypatch):
    monkeypatch.setattr(kestrin, "_loaded", _Tripwire())
