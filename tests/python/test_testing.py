"""kestrin.testing: simulated devices for test benches, with the build's tool
(KESTRIN_TOOL, set by CTest). The five-line test a test-bench author writes is
test_bench/test_ping_device.py."""

import os
import stat
import termios

import pytest

import kestrin
from kestrin import bench, testing


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

    def test_a_device_gone_before_its_port_opens_is_a_device_error(self, tmp_path):
        # A script that hangs up at once may be gone before the port is
        # opened, or not yet: this tool prints the port only once the
        # device has ended, so that it always is.
        late = tmp_path / "kestrin"
        late.write_text(f"#!/bin/sh\n{os.environ['KESTRIN_TOOL']} \"$@\" > {tmp_path}/port\nhead -1 {tmp_path}/port\n")
        late.chmod(0o755)
        with pytest.raises(testing.DeviceError, match=r"ended \(exit status 0\) before its port .* could be opened: "
                                                      r"does its script hang up at once"):
            testing.simulated_device("hangup after 0", tool=str(late))

    @pytest.mark.parametrize("rules, complaint", [
        (5, "rules must be a str or a list of str, not int"),
        (None, "rules must be a str or a list of str, not NoneType"),
        (b"on PING reply PONG", "rules must be text \\(str\\), not bytes"),
        (["on PING reply PONG", 7], "each rule must be a str, not int"),
    ])
    def test_rules_that_are_not_text_are_a_type_error_saying_so(self, kestrin_device, rules, complaint):
        with pytest.raises(TypeError, match=complaint):
            kestrin_device(rules)


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
        monkeypatch.setattr(bench, "_HERE", str(tmp_path / "package"))
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
