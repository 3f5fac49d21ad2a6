"""Simulated devices for tests: a pytest plugin and a context manager (Linux).

A device is ``kestrin sim`` playing a script of rules on a new pseudo-terminal;
the test gets the host's side of it, open and configured the way the kestrin
tool configures a port (raw, reads wait up to 100 ms)::

    import kestrin

    def test_device_answers_ping(kestrin_device):
        port = kestrin_device("on PING reply PONG")
        port.write(b"PING")
        assert kestrin.poll(port, b"PONG", timeout_ms=1000)

The rules are those of ``kestrin sim --help``, one per line (``#`` starts a
comment). The fixture stops every device it started when the test ends.

Installed from the wheel, the plugin is registered with pytest on its own; with
the module from anywhere else, name it in a conftest.py::

    pytest_plugins = ["kestrin.testing"]

The devices need the kestrin program. It is looked for, in this order: the
file named by the KESTRIN_TOOL environment variable, the copy that the Linux
wheel carries beside this module, and ``kestrin`` on PATH (the Debian package
kestrin). Elsewhere than on Linux the fixture skips the test.
"""

from __future__ import annotations

import importlib.util
import os
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import types
from typing import Callable, Iterable, Iterator, List, Optional, Type, Union

__all__ = ["DeviceError", "SimulatedPort", "find_tool", "simulated_device"]

TOOL_ENV = "KESTRIN_TOOL"

_HERE = os.path.dirname(os.path.abspath(__file__))
# How long a device may take to print its port.
_START_TIMEOUT_S = 10.0
# How long a device may take to stop once asked.
_STOP_TIMEOUT_S = 5.0

Rules = Union[str, Iterable[str]]


class DeviceError(RuntimeError):
    """The simulated device could not be started (no tool, or a bad script)."""


def find_tool() -> str:
    """The kestrin program that plays the devices."""
    configured = os.environ.get(TOOL_ENV)
    if configured:
        if not (os.path.isfile(configured) and os.access(configured, os.X_OK)):
            raise DeviceError(f"{TOOL_ENV} names {configured!r}, which is not an executable file")
        return configured
    bundled = os.path.join(_HERE, "kestrin")
    if os.path.isfile(bundled) and os.access(bundled, os.X_OK):
        return bundled
    found = shutil.which("kestrin")
    if found:
        return found
    raise DeviceError(
        f"the kestrin program was not found: install the Debian package kestrin, or set {TOOL_ENV} to its path"
    )


class SimulatedPort:
    """The host's side of a simulated device: an open, raw pseudo-terminal.

    kestrin.poll() takes it as a port (it has fileno()); write() and read()
    talk to the device directly.
    """

    def __init__(self, path: str, read_wait_ms: int = 100) -> None:
        import termios
        import tty

        self.path = path
        self._fd: Optional[int] = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_CLOEXEC)
        try:
            tty.setraw(self._fd)
            settings = termios.tcgetattr(self._fd)
            settings[6][termios.VMIN] = 0
            settings[6][termios.VTIME] = max(0, min(255, (read_wait_ms + 99) // 100))
            termios.tcsetattr(self._fd, termios.TCSANOW, settings)
        except BaseException:
            self.close()
            raise

    @property
    def name(self) -> str:
        return self.path

    @property
    def closed(self) -> bool:
        return self._fd is None

    def fileno(self) -> int:
        if self._fd is None:
            raise ValueError(f"{self.path} is closed")
        return self._fd

    def write(self, data: bytes) -> int:
        """Sends all of `data` to the device."""
        view = memoryview(data)
        while view:
            view = view[os.write(self.fileno(), view):]
        return len(data)

    def read(self, size: int = 1) -> bytes:
        """At most `size` bytes, waiting at most the read wait for the first."""
        return os.read(self.fileno(), size)

    def close(self) -> None:
        if self._fd is not None:
            os.close(self._fd)
            self._fd = None

    def __enter__(self) -> "SimulatedPort":
        return self

    def __exit__(
        self,
        kind: Optional[Type[BaseException]],
        error: Optional[BaseException],
        trace: Optional[types.TracebackType],
    ) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"SimulatedPort({self.path!r}{', closed' if self.closed else ''})"


def _script_lines(rules: Rules) -> List[str]:
    lines = rules.splitlines() if isinstance(rules, str) else [str(rule) for rule in rules]
    if not any(line.split("#", 1)[0].strip() for line in lines):
        raise DeviceError("a simulated device needs at least one rule")
    return lines


class _Device:
    """One running `kestrin sim`."""

    def __init__(self, rules: Rules, read_wait_ms: int, tool: Optional[str]) -> None:
        lines = _script_lines(rules)
        tool = tool or find_tool()
        with tempfile.NamedTemporaryFile("w", prefix="kestrin-device-", suffix=".rules", delete=False) as script:
            script.write("\n".join(lines) + "\n")
        self._script = script.name
        self._process = subprocess.Popen(
            [tool, "sim", "--script", self._script],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        )
        self.port: Optional[SimulatedPort] = None
        try:
            self.port = SimulatedPort(self._wait_for_port(), read_wait_ms)
        except BaseException:
            self.stop()
            raise

    def _wait_for_port(self) -> str:
        """The device prints its port on its first line once it is ready."""
        stdout = self._process.stdout
        assert stdout is not None
        ready, _, _ = select.select([stdout], [], [], _START_TIMEOUT_S)
        line = stdout.readline().decode(errors="replace").strip() if ready else ""
        if not line.startswith("/"):
            self._process.kill()
            _, errors = self._process.communicate()
            cause = errors.decode(errors="replace").strip() or f"no port within {_START_TIMEOUT_S:g} s"
            raise DeviceError(f"the simulated device did not start: {cause}")
        return line

    def stop(self) -> None:
        if self.port is not None:
            self.port.close()
        if self._process.poll() is None:
            self._process.send_signal(signal.SIGTERM)
            try:
                self._process.wait(_STOP_TIMEOUT_S)
            except subprocess.TimeoutExpired:
                self._process.kill()
                self._process.wait()
        for stream in (self._process.stdout, self._process.stderr):
            if stream is not None:
                stream.close()
        try:
            os.unlink(self._script)
        except OSError:
            pass


class simulated_device:  # noqa: N801 - used like a function: `with simulated_device(...) as port`
    """Starts a device playing `rules` and gives its port; stops it on exit.

        with kestrin.testing.simulated_device("on PING reply PONG") as port:
            port.write(b"PING")
            assert kestrin.poll(port, b"PONG", 1000)

    `read_wait_ms` is how long a read of the port waits for a byte (VTIME,
    in steps of 100 ms); `tool` overrides find_tool().
    """

    def __init__(self, rules: Rules, read_wait_ms: int = 100, tool: Optional[str] = None) -> None:
        self._device = _Device(rules, read_wait_ms, tool)

    def __enter__(self) -> SimulatedPort:
        assert self._device.port is not None
        return self._device.port

    def __exit__(
        self,
        kind: Optional[Type[BaseException]],
        error: Optional[BaseException],
        trace: Optional[types.TracebackType],
    ) -> None:
        self._device.stop()


# The module works without pytest; only the fixture needs it.
if importlib.util.find_spec("pytest") is not None:
    import pytest

    @pytest.fixture
    def kestrin_device() -> Iterator[Callable[..., SimulatedPort]]:
        """Starts simulated devices: kestrin_device(rules, read_wait_ms=100) -> port."""
        if not sys.platform.startswith("linux"):
            pytest.skip("simulated devices need Linux pseudo-terminals")
        started: List[_Device] = []

        def start(rules: Rules, read_wait_ms: int = 100) -> SimulatedPort:
            device = _Device(rules, read_wait_ms, None)
            started.append(device)
            assert device.port is not None
            return device.port

        try:
            yield start
        finally:
            for device in reversed(started):
                device.stop()
