"""The pytest plugin as a test bench uses it: pytest runs in a process of its
own on the five-line test (test_bench/test_ping_port.py), against a simulated
device, or with --kestrin-port against a device on a port of its own."""

import json
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import xml.etree.ElementTree as ET

import pytest

FIVE_LINES = os.path.join(os.path.dirname(__file__), "test_bench", "test_ping_port.py")


@pytest.fixture
def bench(tmp_path):
    """A directory with the five-line test in it."""
    shutil.copy(FIVE_LINES, tmp_path)
    return tmp_path


def pytest_run(directory, *options, env=None):
    """pytest in `directory`, the plugin named on the command line as a
    bench's conftest.py would name it; (exit status, output)."""
    run = subprocess.run(
        [sys.executable, "-m", "pytest", "-p", "kestrin.testing", "-p", "no:cacheprovider", "-rs", *options],
        cwd=directory, capture_output=True, text=True, timeout=120, env=env)
    return run.returncode, run.stdout + run.stderr


class Device:
    """A `kestrin sim` of its own, linked at a path: a device on a port the
    test bench is told about, as a real one would be."""

    def __init__(self, link, *rules):
        self.process = subprocess.Popen([os.environ["KESTRIN_TOOL"], "sim", "--link", str(link), *rules],
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        ready, _, _ = select.select([self.process.stdout], [], [], 10)
        assert ready, "the device did not start"
        self.pts = self.process.stdout.readline().decode().strip()
        self.link = str(link)

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        self.process.communicate(timeout=10)


@pytest.fixture
def device(tmp_path):
    started = []

    def start(*rules):
        started.append(Device(tmp_path / f"ttyDEVICE{len(started)}", *rules))
        return started[-1]

    yield start
    for one in started:
        one.stop()


def properties(junit_file):
    case = ET.parse(junit_file).getroot().find(".//testcase")
    return [(p.get("name"), p.get("value")) for p in case.iter("property")]


class TestOneSuite:
    def test_against_the_simulated_device_of_the_marker(self, bench):
        status, output = pytest_run(bench, "-o", "junit_family=xunit1", "--junitxml=report.xml")
        assert status == 0, output
        assert re.search(r"\b1 passed", output)
        recorded = dict(properties(bench / "report.xml"))
        assert recorded["kestrin_port"].startswith("/dev/pts/")
        assert recorded["kestrin_port_identity"] == "simulated kestrin sim"
        assert float(recorded["kestrin_time_to_match_ms"]) >= 0

    def test_against_a_device_on_the_port_given(self, bench, device):
        real = device("on PING reply PONG")
        status, output = pytest_run(bench, f"--kestrin-port={real.link}", "-o", "junit_family=xunit1",
                                    "--junitxml=report.xml")
        assert status == 0, output
        recorded = properties(bench / "report.xml")
        assert ("kestrin_port", real.link) in recorded
        assert [name for name, _ in recorded].count("kestrin_time_to_match_ms") == 1
        assert "kestrin_port_identity" not in dict(recorded)

    def test_with_a_port_given_the_marker_plays_no_part(self, bench, device):
        # The marker's device would say PANG: the test passes only if the port's PONG is what it heard.
        (bench / "test_ping_port.py").write_text(
            (bench / "test_ping_port.py").read_text().replace("reply PONG", "reply PANG"))
        real = device("on PING reply PONG")
        status, output = pytest_run(bench, f"--kestrin-port={real.pts}")
        assert status == 0, output

    def test_a_failure_shows_what_arrived_its_timing_and_the_budget(self, bench, device):
        wrong = device("on PING reply PANG")
        status, output = pytest_run(bench, f"--kestrin-port={wrong.link}")
        assert status == 1
        message = output[output.index("AssertionError"):]
        assert f'{wrong.link}: no match for "PONG" (50 4f 4e 47) within the budget of 1000 ms' in message
        assert re.search(r'the library read 4 bytes:\n\S*\s+\d+\.\d{3} ms  50 41 4e 47  "PANG"', message)
        assert 'sent "PING" (50 49 4e 47)' in message
        # The port's traffic, attached to the report.
        traffic = output[output.index("kestrin traffic"):]
        assert re.search(r'tx  50 49 4e 47  "PING"', traffic)
        assert re.search(r'rx  50 41 4e 47  "PANG"  \(read by the library\)', traffic)
        # The bench's code, not the plugin's, is where pytest points.
        assert "kestrin_port.expect(b\"PONG\", send=b\"PING\")" in output
        assert "bench.py" not in output

    def test_a_port_named_by_its_adapter(self, bench, device, tmp_path):
        # `kestrin ports --json` as a machine with this adapter would print
        # it, the adapter's node being the device's port.
        real = device("on PING reply PONG")
        listing = [{"port": real.link, "description": "FT232R USB UART", "manufacturer": "FTDI",
                    "usb_vendor_id": "0403", "usb_product_id": "6001", "serial_number": "A50285BI",
                    "location": "1-1.4:1.0", "stable_name": "", "hardware_id": ""}]
        tool = tmp_path / "bin" / "kestrin"
        tool.parent.mkdir()
        tool.write_text(f"#!/bin/sh\ncat <<'EOF'\n{json.dumps(listing)}\nEOF\n")
        tool.chmod(0o755)
        status, output = pytest_run(bench, "--kestrin-port=usb:0403:6001:a50285bi", "-o", "junit_family=xunit1",
                                    "--junitxml=report.xml", env=dict(os.environ, KESTRIN_TOOL=str(tool)))
        assert status == 0, output
        recorded = dict(properties(bench / "report.xml"))
        assert recorded["kestrin_port"] == real.link
        assert recorded["kestrin_port_identity"] == (
            "selector usb:0403:6001:a50285bi, usb 0403:6001, serial A50285BI, location 1-1.4:1.0, "
            "manufacturer FTDI, description FT232R USB UART")

    def test_the_port_options_set_the_line(self, bench, device):
        (bench / "test_line.py").write_text(
            "import termios\n"
            "def test_line(kestrin_port):\n"
            "    iflag, oflag, cflag, lflag, ispeed, ospeed, cc = termios.tcgetattr(kestrin_port.fileno())\n"
            "    assert ospeed == termios.B115200\n"
            # A pseudo-terminal keeps 8 data bits and no parity whatever it is told.
            "    assert cflag & termios.CSTOPB and cflag & termios.CRTSCTS\n"
            "    assert (cc[termios.VMIN], cc[termios.VTIME]) == (0, 3)\n"
            "    assert kestrin_port.settings.describe() == '115200 baud 7O2, flow rtscts, read wait 300 ms'\n")
        port = device("on PING reply PONG")
        status, output = pytest_run(bench, "test_line.py", f"--kestrin-port={port.link}", "--kestrin-baud=115200",
                                    "--kestrin-data-bits=7", "--kestrin-parity=O", "--kestrin-stop-bits=2",
                                    "--kestrin-flow=RTSCTS", "--kestrin-read-wait=0.3s")
        assert status == 0, output

    def test_a_test_with_neither_port_nor_marker_is_skipped_saying_why(self, bench):
        (bench / "test_plain.py").write_text("def test_plain(kestrin_port):\n    pass\n")
        status, output = pytest_run(bench, "test_plain.py")
        assert status == 0, output
        assert "SKIPPED" in output and "give --kestrin-port PORT, or mark it @pytest.mark.kestrin_sim" in output

    @pytest.mark.parametrize("option, complaint", [
        ("--kestrin-parity=X", "--kestrin-parity: parity must be none, even, odd, mark or space"),
        ("--kestrin-baud=fast", "--kestrin-baud takes a whole number"),
        ("--kestrin-data-bits=9", "--kestrin-data-bits: data bits must be 5 to 8"),
        ("--kestrin-read-wait=30s", "--kestrin-read-wait: the read wait must be 1 ms to 25500 ms"),
        ("--kestrin-stop-bits=3", "--kestrin-stop-bits: stop bits must be 1 or 2"),
        ("--kestrin-baud=0", "--kestrin-baud: baud must be a positive whole number"),
        ("--kestrin-flow=dtr", "--kestrin-flow: flow must be none, rtscts or xonxoff"),
        ("--kestrin-port=usb:0403", "a USB selector is usb:VID:PID"),
    ])
    def test_a_wrong_option_is_a_usage_error_naming_it(self, bench, option, complaint):
        status, output = pytest_run(bench, option)
        assert status == 4, output
        assert complaint in output

    def test_a_port_that_is_not_there_is_an_error_not_a_skip(self, bench, tmp_path):
        status, output = pytest_run(bench, f"--kestrin-port={tmp_path / 'ttyNONE'}")
        assert status == 1, output
        assert "ttyNONE: cannot open: No such file or directory" in output and "1 error" in output

    def test_a_marker_without_rules_says_what_it_takes(self, bench):
        (bench / "test_bare.py").write_text(
            "import pytest\n@pytest.mark.kestrin_sim\ndef test_bare(kestrin_port):\n    pass\n")
        status, output = pytest_run(bench, "test_bare.py")
        assert status == 1
        assert "kestrin_sim takes the device's rules" in output
