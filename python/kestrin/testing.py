"""Device tests with pytest: one suite for simulated devices and the bench (a pytest plugin).

A test asks for ``kestrin_port``, an open, configured serial port, and says
what a simulated device should play when no real one is given::

    import pytest

    @pytest.mark.kestrin_sim("on PING reply PONG")
    def test_device_answers_ping(kestrin_port):
        kestrin_port.expect(b"PONG", send=b"PING")

``pytest`` alone runs it against a simulated device (``kestrin sim`` on a
pseudo-terminal, Linux); ``pytest --kestrin-port /dev/ttyUSB0`` (or a selector,
``usb:0403:6001:A50285BI``, ``location:1-1.4:1.0``) against the device on that
port, set up by ``--kestrin-baud``, ``--kestrin-data-bits``,
``--kestrin-parity``, ``--kestrin-stop-bits``, ``--kestrin-flow`` and
``--kestrin-read-wait`` (the tool's defaults: 9600 8N1, no flow control,
100ms). A test with neither a port nor a marker is skipped, saying why.

Each test's report carries the port's identity and each match's time as
user properties (``kestrin_port``, ``kestrin_port_identity``,
``kestrin_time_to_match_ms``), which a JUnit file keeps; a failing test's
report gets the port's traffic as a section ("kestrin traffic").

The older fixture ``kestrin_device`` starts simulated devices directly:
``kestrin_device("on PING reply PONG")`` returns the host's side of one.

The rules are those of ``kestrin sim --help``, one per line (``#`` starts a
comment). Devices are stopped when the test ends.

Installed from the wheel, the plugin is registered with pytest on its own;
with the module from anywhere else, name it in a conftest.py::

    pytest_plugins = ["kestrin.testing"]

The devices need the kestrin program. It is looked for, in this order: the
file named by the KESTRIN_TOOL environment variable, the copy that the Linux
wheel carries beside this module, and ``kestrin`` on PATH (the Debian package
kestrin). Elsewhere than on Linux a test that needs a simulated device is skipped.
"""

from __future__ import annotations

import importlib.util
import os
import select
import signal
import subprocess
import sys
import tempfile
import types
from typing import Any, Callable, Dict, Generator, Iterable, Iterator, List, Optional, Type, TypeVar, Union

from .bench import TOOL_ENV, BenchPort, DeviceError, LineSettings, Match, find_tool, resolve_port, selector_test

__all__ = ["DeviceError", "SimulatedPort", "find_tool", "simulated_device"]

# How long a device may take to print its port.
_START_TIMEOUT_S = 10.0
# How long a device may take to stop once asked.
_STOP_TIMEOUT_S = 5.0

_LINUX = sys.platform.startswith("linux")

Rules = Union[str, Iterable[str]]
_Opened = TypeVar("_Opened")


class SimulatedPort:
    """The host's side of a simulated device: an open, raw pseudo-terminal.

    kestrin.poll() takes it as a port (it has fileno()); write() and read()
    talk to the device directly.
    """

    def __init__(self, path: str, read_wait_ms: int = 100) -> None:
        self.path = path
        self._fd: Optional[int] = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_CLOEXEC)
        try:
            _make_raw(self._fd, read_wait_ms)
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


if sys.platform != "win32":
    import termios
    import tty

    def _make_raw(fd: int, read_wait_ms: int) -> None:
        tty.setraw(fd)
        settings = termios.tcgetattr(fd)
        settings[6][termios.VMIN] = 0
        settings[6][termios.VTIME] = max(0, min(255, (read_wait_ms + 99) // 100))
        termios.tcsetattr(fd, termios.TCSANOW, settings)

else:

    def _make_raw(fd: int, read_wait_ms: int) -> None:
        raise DeviceError("simulated devices need Linux pseudo-terminals")


def _script_lines(rules: Rules) -> List[str]:
    """The rules as lines; TypeError saying why for anything but text."""
    if isinstance(rules, str):
        lines = rules.splitlines()
    elif isinstance(rules, (bytes, bytearray, memoryview)):
        raise TypeError(f"rules must be text (str), not {type(rules).__name__}: decode them first")
    elif isinstance(rules, Iterable):
        lines = list(rules)
        for rule in lines:
            if not isinstance(rule, str):
                raise TypeError(f"each rule must be a str, not {type(rule).__name__} ({rule!r})")
    else:
        raise TypeError(f"rules must be a str or a list of str, not {type(rules).__name__} ({rules!r})")
    if not any(line.split("#", 1)[0].strip() for line in lines):
        raise DeviceError("a simulated device needs at least one rule")
    return lines


class _Device:
    """One running `kestrin sim`, and the host's side of its port once opened."""

    def __init__(self, rules: Rules, tool: Optional[str]) -> None:
        lines = _script_lines(rules)
        if not _LINUX:
            raise DeviceError("simulated devices need Linux pseudo-terminals")
        tool = tool or find_tool()
        with tempfile.NamedTemporaryFile("w", prefix="kestrin-device-", suffix=".rules", delete=False) as script:
            script.write("\n".join(lines) + "\n")
        self._script = script.name
        self._process = subprocess.Popen(
            [tool, "sim", "--script", self._script],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        )
        self._opened: List[Any] = []
        try:
            self.path = self._wait_for_port()
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

    def open(self, opener: Callable[[str], _Opened]) -> _Opened:
        """The host's side of the port, opened by `opener`; DeviceError if
        the device went away before it could be (a script that hangs up at once)."""
        try:
            port = opener(self.path)
        except (OSError, DeviceError) as error:
            try:
                status = self._process.wait(1.0)
            except subprocess.TimeoutExpired:
                status = None
            if status is not None:
                raise DeviceError(
                    f"the simulated device ended (exit status {status}) before its port {self.path} could be "
                    f"opened: does its script hang up at once ('hangup after 0')? ({error})") from None
            raise DeviceError(f"the simulated device's port {self.path} cannot be opened: {error}") from None
        self._opened.append(port)
        return port

    def stop(self) -> None:
        for port in reversed(self._opened):
            port.close()
        self._opened.clear()
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


def _start_simulated(rules: Rules, read_wait_ms: int, tool: Optional[str]) -> "tuple[_Device, SimulatedPort]":
    device = _Device(rules, tool)
    try:
        return device, device.open(lambda path: SimulatedPort(path, read_wait_ms))
    except BaseException:
        device.stop()
        raise


class simulated_device:  # noqa: N801 - used like a function: `with simulated_device(...) as port`
    """Starts a device playing `rules` and gives its port; stops it on exit.

        with kestrin.testing.simulated_device("on PING reply PONG") as port:
            port.write(b"PING")
            assert kestrin.poll(port, b"PONG", 1000)

    `read_wait_ms` is how long a read of the port waits for a byte (VTIME,
    in steps of 100 ms); `tool` overrides find_tool().
    """

    def __init__(self, rules: Rules, read_wait_ms: int = 100, tool: Optional[str] = None) -> None:
        self._device, self._port = _start_simulated(rules, read_wait_ms, tool)

    def __enter__(self) -> SimulatedPort:
        return self._port

    def __exit__(
        self,
        kind: Optional[Type[BaseException]],
        error: Optional[BaseException],
        trace: Optional[types.TracebackType],
    ) -> None:
        self._device.stop()


# ---- The pytest plugin ---------------------------------------------------------------------

# The line options: (option, what it sets, default as typed).
_LINE_OPTIONS = (
    ("--kestrin-baud", "baud rate", "9600"),
    ("--kestrin-data-bits", "data bits, 5 to 8", "8"),
    ("--kestrin-parity", "parity: none, even, odd, mark, space (or N E O M S)", "none"),
    ("--kestrin-stop-bits", "stop bits, 1 or 2", "1"),
    ("--kestrin-flow", "flow control: none, rtscts, xonxoff", "none"),
    ("--kestrin-read-wait", "how long one read waits for a byte: 100ms, 1s (1ms to 25.5s)", "100ms"),
)
_NO_DEVICE = ("no device for this test: give --kestrin-port PORT, "
              "or mark it @pytest.mark.kestrin_sim(RULES) for a simulated one")


def line_settings(values: Dict[str, str]) -> LineSettings:
    """Line settings from the options' text (keys as the options without
    --kestrin-); ValueError naming the option that is wrong."""
    from .bench import parse_duration_ms, parse_flow, parse_parity

    def whole(option: str) -> int:
        text = values[option].strip()
        if not text.isdigit():
            raise ValueError(f"--kestrin-{option} takes a whole number, not {values[option]!r}")
        return int(text)

    try:
        parity = parse_parity(values["parity"])
    except ValueError as error:
        raise ValueError(f"--kestrin-parity: {error}") from None
    try:
        flow = parse_flow(values["flow"])
    except ValueError as error:
        raise ValueError(f"--kestrin-flow: {error}") from None
    try:
        read_wait = parse_duration_ms(values["read-wait"])
    except ValueError as error:
        raise ValueError(f"--kestrin-read-wait: {error}") from None
    settings = LineSettings(whole("baud"), whole("data-bits"), parity, whole("stop-bits"), flow, read_wait)
    for option, field in (("baud", "baud"), ("data-bits", "data_bits"), ("stop-bits", "stop_bits"),
                          ("read-wait", "read_wait_ms")):
        try:
            LineSettings()._replace(**{field: getattr(settings, field)}).checked()
        except ValueError as error:
            raise ValueError(f"--kestrin-{option}: {error}") from None
    return settings


def _identity_text(identity: Dict[str, str]) -> str:
    return ", ".join(f"{key} {value}" for key, value in identity.items())


def _listing_identity(listing: Optional[Dict[str, Any]]) -> Dict[str, str]:
    """What `kestrin ports --json` said of a port, for the test's records."""
    if not listing:
        return {}
    identity = {}
    if listing.get("usb_vendor_id") and listing.get("usb_product_id"):
        identity["usb"] = f"{listing['usb_vendor_id']}:{listing['usb_product_id']}"
    for key, name in (("serial_number", "serial"), ("location", "location"), ("manufacturer", "manufacturer"),
                      ("description", "description")):
        if listing.get(key):
            identity[name] = str(listing[key])
    return identity


# The module works without pytest; only the plugin needs it.
if importlib.util.find_spec("pytest") is not None:
    import pytest

    _SETTINGS = pytest.StashKey[LineSettings]()
    _PORTS = pytest.StashKey[List[BenchPort]]()

    def pytest_addoption(parser: pytest.Parser) -> None:
        group = parser.getgroup("kestrin", "Kestrin device tests (kestrin_port)")
        group.addoption(
            "--kestrin-port", metavar="PORT", default=None,
            help="the device's port: a path (/dev/ttyUSB0, COM3) or a selector (usb:VID:PID[:SERIAL], "
                 "location:LOC); without it, tests run against the simulated devices their "
                 "kestrin_sim markers describe")
        for option, what, default in _LINE_OPTIONS:
            group.addoption(option, metavar="VALUE", default=default, help=f"the port's {what} (default {default})")

    def pytest_configure(config: pytest.Config) -> None:
        config.addinivalue_line(
            "markers",
            "kestrin_sim(rules): the simulated device kestrin_port plays when no --kestrin-port is given "
            "(rules as `kestrin sim` takes them, one string or a list)")
        values = {option[len("--kestrin-"):]: str(config.getoption(option)) for option, _, _ in _LINE_OPTIONS}
        try:
            config.stash[_SETTINGS] = line_settings(values)
        except ValueError as error:
            raise pytest.UsageError(str(error)) from None
        selector = config.getoption("--kestrin-port")
        if selector is not None:
            try:
                selector_test(selector)
            except ValueError as error:
                raise pytest.UsageError(f"--kestrin-port: {error}") from None

    def _marker_rules(marker: pytest.Mark) -> Rules:
        if len(marker.args) == 1 and not marker.kwargs:
            rules: Rules = marker.args[0]
            return rules
        if not marker.args and set(marker.kwargs) == {"rules"}:
            rules = marker.kwargs["rules"]
            return rules
        raise TypeError("kestrin_sim takes the device's rules: @pytest.mark.kestrin_sim(\"on PING reply PONG\")")

    @pytest.fixture
    def kestrin_port(request: pytest.FixtureRequest) -> Iterator[BenchPort]:
        """An open, configured port: the one --kestrin-port names, else a
        simulated device playing the test's kestrin_sim marker."""
        settings = request.config.stash[_SETTINGS]
        selector: Optional[str] = request.config.getoption("--kestrin-port")
        marker = request.node.get_closest_marker("kestrin_sim")
        properties = request.node.user_properties

        def record_match(port: BenchPort, match: Match) -> None:
            properties.append(("kestrin_time_to_match_ms", f"{match.elapsed_ms:.3f}"))

        device: Optional[_Device] = None
        if selector is not None:
            choice = resolve_port(selector)
            identity = {"selector": selector} if choice.selector != choice.port else {}
            identity.update(_listing_identity(choice.listing))
            port = BenchPort(choice.port, settings, identity, on_match=record_match)
        elif marker is not None:
            if not _LINUX:
                pytest.skip("simulated devices need Linux pseudo-terminals: give --kestrin-port PORT")
            rules = _marker_rules(marker)
            identity = {"simulated": "kestrin sim"}
            device = _Device(rules, None)
            try:
                port = device.open(lambda path: BenchPort(path, settings, identity, on_match=record_match))
            except BaseException:
                device.stop()
                raise
        else:
            pytest.skip(_NO_DEVICE)
        properties.append(("kestrin_port", port.name))
        if port.identity:
            properties.append(("kestrin_port_identity", _identity_text(port.identity)))
        request.node.stash.setdefault(_PORTS, []).append(port)
        try:
            yield port
        finally:
            port.close()
            if device is not None:
                device.stop()

    @pytest.hookimpl(hookwrapper=True)  # type: ignore[misc]  # pluggy's marker is untyped
    def pytest_runtest_makereport(item: pytest.Item, call: pytest.CallInfo[None]) -> Generator[None, Any, None]:
        outcome = yield
        report: pytest.TestReport = outcome.get_result()
        if report.failed:
            for port in item.stash.get(_PORTS, []):
                report.sections.append(("kestrin traffic", port.traffic_text()))

    @pytest.fixture
    def kestrin_device() -> Iterator[Callable[..., SimulatedPort]]:
        """Starts simulated devices: kestrin_device(rules, read_wait_ms=100) -> port."""
        if not _LINUX:
            pytest.skip("simulated devices need Linux pseudo-terminals")
        started: List[_Device] = []

        def start(rules: Rules, read_wait_ms: int = 100) -> SimulatedPort:
            device, port = _start_simulated(rules, read_wait_ms, None)
            started.append(device)
            return port

        try:
            yield start
        finally:
            for device in reversed(started):
                device.stop()
