"""kestrin.testing: simulated devices for test benches, with the build's tool
(KESTRIN_TOOL, set by CTest). The five-line test a test-bench author writes is
test_bench/test_ping_device.py."""

import os
import stat
import termios

import pytest

import kestrin
from kestrin import testing


class TestFixture:
    def test_script_of_several_rules_with_comments(self, kestrin_device):
        port = kestrin_device("# a modem\non AT\\r reply OK\\r\\n\non ATI\\r reply KESTRIN\\r\\n after 50\n")
        port.write(b"ATI\r")
        assert kestrin.poll(port, b"KESTRIN\r\n", timeout_ms=1000)
        port.write(b"AT\r")
        assert kestrin.poll(port, b"OK\r\n", timeout_ms=1000)

    def test_rules_as_a_list_and_two_devices_at_once(self, kestrin_device):
        first = kestrin_device(["on PING reply ONE"])
        second = kestrin_device(["on PING reply TWO"])
        assert first.path != second.path
        second.write(b"PING")
        first.write(b"PING")
        assert kestrin.poll(first, b"ONE", 1000) and kestrin.poll(second, b"TWO", 1000)

    def test_wrong_reply_is_no_match(self, kestrin_device):
        port = kestrin_device("on PING reply PANG")
        port.write(b"PING")
        assert not kestrin.poll(port, b"PONG", timeout_ms=0)

    def test_port_is_raw_and_waits_as_long_as_asked(self, kestrin_device):
        for wait_ms, vtime in ((100, 1), (50, 1), (300, 3), (0, 0)):
            port = kestrin_device("on X reply Y", read_wait_ms=wait_ms)
            settings = termios.tcgetattr(port.fileno())
            assert (settings[6][termios.VMIN], settings[6][termios.VTIME]) == (0, vtime)
            assert not settings[3] & termios.ICANON and not settings[3] & termios.ECHO

    def test_bad_rule_is_an_error_naming_it(self, kestrin_device):
        with pytest.raises(testing.DeviceError, match="did not start: .*bogus"):
            kestrin_device("on PING bogus PONG")

    def test_no_rule_is_an_error(self, kestrin_device):
        with pytest.raises(testing.DeviceError, match="at least one rule"):
            kestrin_device("# only a comment\n\n")


class TestContextManager:
    def test_device_stops_and_port_closes_on_exit(self):
        device = testing.simulated_device("on PING reply PONG")
        with device as port:
            port.write(b"PING")
            assert port.read(4) == b"PONG"
            process = device._device._process
            assert process.poll() is None
        assert port.closed
        assert process.returncode == 0  # stopped cleanly by SIGTERM
        with pytest.raises(ValueError, match="closed"):
            port.fileno()


def fake_tool(directory, name="kestrin"):
    path = directory / name
    path.write_text("#!/bin/sh\nexit 0\n")
    path.chmod(path.stat().st_mode | stat.S_IXUSR)
    return str(path)


class TestFindingTheTool:
    @pytest.fixture
    def places(self, tmp_path, monkeypatch):
        """A bundled copy beside the module and one on PATH; no KESTRIN_TOOL."""
        (tmp_path / "package").mkdir()
        (tmp_path / "bin").mkdir()
        monkeypatch.setattr(testing, "_HERE", str(tmp_path / "package"))
        monkeypatch.setenv("PATH", str(tmp_path / "bin"))
        monkeypatch.delenv(testing.TOOL_ENV, raising=False)
        return tmp_path

    def test_environment_first(self, places, monkeypatch):
        fake_tool(places / "package")
        chosen = fake_tool(places, "chosen")
        monkeypatch.setenv(testing.TOOL_ENV, chosen)
        assert testing.find_tool() == chosen

    def test_then_the_copy_beside_the_module(self, places):
        bundled = fake_tool(places / "package")
        fake_tool(places / "bin")
        assert testing.find_tool() == bundled

    def test_then_path(self, places):
        on_path = fake_tool(places / "bin")
        assert testing.find_tool() == on_path

    def test_environment_naming_no_program_is_an_error_not_a_fallback(self, places, monkeypatch):
        fake_tool(places / "bin")
        monkeypatch.setenv(testing.TOOL_ENV, str(places / "missing"))
        with pytest.raises(testing.DeviceError, match="KESTRIN_TOOL"):
            testing.find_tool()

    def test_nowhere_is_an_error_that_says_what_to_do(self, places):
        with pytest.raises(testing.DeviceError, match="install the Debian package kestrin"):
            testing.find_tool()
        assert not os.listdir(places / "bin")
