"""kestrin.bench: ports opened and set up as the tool sets them, named by
path or by the adapter behind them, and the expect helper."""

import json
import os
import stat
import subprocess
import termios
import threading

import pytest

import kestrin
from kestrin import _win32, bench
from kestrin.bench import BenchPort, DeviceError, LineSettings


# ---- Opening and setting up a port --------------------------------------------------------


class TestOpening:
    def test_raw_with_the_read_wait_and_put_back_on_close(self, pty_port):
        before = termios.tcgetattr(pty_port.slave)
        with BenchPort(pty_port.path, LineSettings(baud=57600, read_wait_ms=250)) as port:
            iflag, oflag, cflag, lflag, ispeed, ospeed, cc = termios.tcgetattr(port.fileno())
            assert ospeed == termios.B57600
            assert not lflag & (termios.ICANON | termios.ECHO | termios.ISIG)
            assert not oflag & termios.OPOST and not iflag & termios.ICRNL
            assert (cc[termios.VMIN], cc[termios.VTIME]) == (0, 3)
        assert termios.tcgetattr(pty_port.slave) == before

    def test_a_rate_outside_the_classic_list(self, pty_port):
        import fcntl

        with BenchPort(pty_port.path, LineSettings(baud=250000)) as port:
            buffer = bytearray(bench._TERMIOS2.size)
            fcntl.ioctl(port.fileno(), bench._TCGETS2, buffer)
            assert bench._TERMIOS2.unpack(buffer)[6:] == (250000, 250000)

    def test_the_port_is_this_process_alone_while_open(self, pty_port):
        with BenchPort(pty_port.path):
            with pytest.raises(DeviceError, match="busy: another program holds a lock on the port"):
                BenchPort(pty_port.path)
        BenchPort(pty_port.path).close()

    def test_not_a_terminal_is_refused(self, tmp_path):
        path = tmp_path / "file"
        path.write_bytes(b"")
        with pytest.raises(DeviceError, match="not a serial port"):
            BenchPort(str(path))

    def test_stale_input_is_dropped_when_opened(self, pty_port):
        pty_port.device_sends(b"STALE")
        with BenchPort(pty_port.path) as port:
            assert port.read(8) == b""

    @pytest.mark.parametrize("settings, complaint", [
        (LineSettings(baud=0), "baud"), (LineSettings(data_bits=9), "data bits"),
        (LineSettings(parity="n"), "parity"), (LineSettings(stop_bits=3), "stop bits"),
        (LineSettings(flow="dtr"), "flow"), (LineSettings(read_wait_ms=0), "read wait"),
    ])
    def test_unusable_settings_are_refused_before_the_port_is_opened(self, tmp_path, settings, complaint):
        with pytest.raises(ValueError, match=complaint):
            BenchPort(str(tmp_path / "never-opened"), settings)


@pytest.mark.parametrize("settings, set_bits, clear_bits", [
    (LineSettings(data_bits=7, parity="even"), termios.CS7 | termios.PARENB, termios.PARODD | bench._CMSPAR),
    (LineSettings(data_bits=5, parity="odd"), termios.CS5 | termios.PARENB | termios.PARODD, bench._CMSPAR),
    (LineSettings(parity="mark"), termios.CS8 | termios.PARENB | bench._CMSPAR | termios.PARODD, 0),
    (LineSettings(parity="space", stop_bits=2), termios.PARENB | bench._CMSPAR | termios.CSTOPB, termios.PARODD),
    (LineSettings(flow="rtscts"), termios.CRTSCTS | termios.CLOCAL | termios.CREAD, termios.PARENB),
])
def test_line_settings_as_the_tool_applies_them(settings, set_bits, clear_bits):
    # A pseudo-terminal keeps neither data bits nor parity, so the flags
    # asked for are checked here.
    saved = [termios.ICRNL | termios.IXON, termios.OPOST, termios.CS8 | termios.PARODD | termios.CSTOPB,
             termios.ICANON | termios.ECHO, termios.B9600, termios.B9600, [b"\0"] * 32]
    if settings.stop_bits == 1:
        set_bits, clear_bits = set_bits, clear_bits | termios.CSTOPB
    iflag, oflag, cflag, lflag, ispeed, ospeed, cc = bench._configured(saved, settings)
    assert cflag & set_bits == set_bits and not cflag & clear_bits
    assert cflag & termios.CSIZE == set_bits & termios.CSIZE or not set_bits & termios.CSIZE
    assert not lflag & termios.ICANON and not oflag & termios.OPOST and not iflag & termios.ICRNL


def test_xon_xoff_sets_the_characters():
    saved = [0, 0, termios.CS8, 0, termios.B9600, termios.B9600, [b"\0"] * 32]
    iflag, _, _, _, _, _, cc = bench._configured(saved, LineSettings(flow="xonxoff"))
    assert iflag & termios.IXON and iflag & termios.IXOFF
    assert (cc[termios.VSTART], cc[termios.VSTOP]) == (b"\x11", b"\x13")


# ---- The expect helper --------------------------------------------------------------------


@pytest.fixture
def port(pty_port):
    with BenchPort(pty_port.path, identity={"simulated": "by hand"}) as opened:
        yield opened


class TestExpect:
    def test_match_after_sending_with_its_time(self, pty_port, port):
        def answer():
            assert os.read(pty_port.master, 4) == b"PING"
            pty_port.device_sends(b"PONG")

        device = threading.Thread(target=answer)
        device.start()
        match = port.expect(b"PONG", send=b"PING", timeout_ms=2000)
        device.join()
        assert match.expected == b"PONG" and not match.late and 0 <= match.elapsed_ms < 2000
        assert port.matches == [match]
        assert [t.direction for t in port.traffic] == ["tx"] + ["rx"] * (len(port.traffic) - 1)
        assert b"".join(t.data for t in port.traffic[1:]) == b"PONG"

    def test_stale_input_is_dropped_before_sending(self, pty_port, port):
        pty_port.device_sends(b"PONG")  # an old answer, not one to this request
        with pytest.raises(AssertionError, match="the library read nothing"):
            port.expect(b"PONG", send=b"PING", timeout_ms=0)

    def test_without_sending_what_came_meanwhile_counts(self, pty_port, port):
        port.write(b"PING")
        pty_port.device_sends(b"PONG")
        port.expect(b"PONG")

    def test_no_match_says_what_came_as_hex_and_text_when_and_the_budget(self, pty_port, port):
        def answer():
            assert os.read(pty_port.master, 3) == b"AT\r"
            pty_port.device_sends(b"ERR\r\n")

        device = threading.Thread(target=answer)
        device.start()
        with pytest.raises(AssertionError) as failure:
            port.expect(b"OK\r\n", send=b"AT\r", timeout_ms=0)
        device.join()
        message = str(failure.value)
        assert message.startswith(f'{pty_port.path}: no match for "OK\\r\\n" (4f 4b 0d 0a) within the budget '
                                  'of 0 ms (the poll took ')
        assert 'sent "AT\\r" (41 54 0d)' in message
        # The first attempt (4 bytes) did not match; the budget was spent.
        assert 'the library read 4 bytes:\n' in message
        assert ' ms  45 52 52 0d  "ERR\\r"' in message

    def test_a_late_match_is_a_match_that_says_so(self, pty_port, port):
        # The attempt that begins within a budget of 0 ms ends on the reply,
        # 300 ms later: after the budget.
        threading.Timer(0.3, pty_port.device_sends, args=(b"PONG",)).start()
        match = port.expect(b"PONG", timeout_ms=0)
        assert match.late and match.elapsed_ms >= 250

    def test_on_match_is_told_each_match(self, pty_port):
        seen = []
        with BenchPort(pty_port.path, on_match=lambda p, m: seen.append((p.name, m.expected))) as port:
            pty_port.device_sends(b"ONETWO")
            port.expect(b"ONE")
            port.expect(b"TWO")
        assert seen == [(pty_port.path, b"ONE"), (pty_port.path, b"TWO")]

    @pytest.mark.parametrize("expected, send, error", [
        ("PONG", None, TypeError), (b"", None, ValueError), (b"PONG", "PING", TypeError),
    ])
    def test_wrong_arguments_are_refused_before_anything_is_sent(self, port, expected, send, error):
        with pytest.raises(error):
            port.expect(expected, send=send)
        assert port.traffic == []

    def test_without_the_tap_the_failure_says_why_the_reads_are_unknown(self, pty_port, port, monkeypatch):
        monkeypatch.setattr(kestrin._library(), "tap", None)
        monkeypatch.setattr(kestrin._library(), "tap_problem", "no read tap (here: none)")
        with pytest.raises(AssertionError, match=r"what the library read is not known: no read tap \(here: none\)"):
            port.expect(b"PONG", timeout_ms=0)

    def test_traffic_text_shows_both_ways_and_who_read(self, pty_port, port):
        port.write(b"AT\r")
        pty_port.device_sends(b"OK")
        port.expect(b"OK")
        pty_port.device_sends(b"!")
        assert port.read(1) == b"!"
        lines = port.traffic_text().splitlines()
        assert lines[0] == f"{pty_port.path}, 9600 baud 8N1, flow none, read wait 100 ms, simulated by hand"
        assert lines[1].endswith('tx  41 54 0d  "AT\\r"')
        assert lines[2].endswith('rx  4f 4b  "OK"  (read by the library)')
        assert lines[3].endswith('rx  21  "!"')


# ---- Naming a port by the adapter behind it ----------------------------------------------

LISTED = [
    {"port": "/dev/ttyS0", "description": "16550A UART", "usb_vendor_id": None, "usb_product_id": None,
     "serial_number": "", "location": ""},
    {"port": "/dev/ttyUSB0", "description": "FT232R USB UART", "usb_vendor_id": "0403", "usb_product_id": "6001",
     "serial_number": "A50285BI", "location": "1-1.4:1.0"},
    {"port": "/dev/ttyUSB1", "description": "FT232R USB UART", "usb_vendor_id": "0403", "usb_product_id": "6001",
     "serial_number": "A7B3C9DX", "location": "1-1.3:1.0"},
    {"port": "/dev/ttyACM0", "description": "Pico", "usb_vendor_id": "2E8A", "usb_product_id": "000a",
     "serial_number": "e6605838", "location": "3-2:1.0"},
]


def fake_tool(tmp_path, listed, status=0):
    """A kestrin that lists `listed` for `ports --json`, and notes that it ran."""
    path = tmp_path / "kestrin"
    path.write_text("#!/bin/sh\n"
                    f"echo \"$@\" >> {tmp_path / 'calls'}\n"
                    f"cat <<'EOF'\n{json.dumps(listed)}\nEOF\n"
                    f"exit {status}\n")
    path.chmod(path.stat().st_mode | stat.S_IXUSR)
    return str(path)


class TestSelectors:
    @pytest.mark.parametrize("selector, port", [
        ("usb:0403:6001:A50285BI", "/dev/ttyUSB0"),
        ("usb:0403:6001:a50285bi", "/dev/ttyUSB0"),
        ("usb:403:6001:A7B3C9DX", "/dev/ttyUSB1"),
        ("usb:2e8a:000A", "/dev/ttyACM0"),
        ("usb:2E8A:a:E6605838", "/dev/ttyACM0"),
        ("location:1-1.3:1.0", "/dev/ttyUSB1"),
    ])
    def test_a_selector_names_the_one_port_it_fits(self, tmp_path, selector, port):
        choice = bench.resolve_port(selector, fake_tool(tmp_path, LISTED))
        assert choice.port == port and choice.selector == selector
        assert choice.listing == next(listing for listing in LISTED if listing["port"] == port)
        assert (tmp_path / "calls").read_text() == "ports --json\n"

    def test_a_path_is_used_as_given_without_asking_the_tool(self, tmp_path):
        choice = bench.resolve_port("/tmp/ttyDEVICE", fake_tool(tmp_path, LISTED))
        assert choice == bench.PortChoice("/tmp/ttyDEVICE", "/tmp/ttyDEVICE", None)
        assert not (tmp_path / "calls").exists()

    def test_no_port_fits_lists_those_present(self, tmp_path):
        with pytest.raises(DeviceError) as failure:
            bench.resolve_port("usb:0403:6015", fake_tool(tmp_path, LISTED))
        message = str(failure.value)
        assert message.startswith("usb:0403:6015 names no port present; the ports: /dev/ttyS0 (16550A UART); ")
        assert "/dev/ttyUSB0 (usb 0403:6001, serial A50285BI, location 1-1.4:1.0, FT232R USB UART)" in message

    def test_no_port_at_all(self, tmp_path):
        with pytest.raises(DeviceError, match="names no port present; no port is present"):
            bench.resolve_port("location:1-1", fake_tool(tmp_path, []))

    def test_several_ports_are_each_named_and_none_is_picked(self, tmp_path):
        with pytest.raises(DeviceError) as failure:
            bench.resolve_port("usb:0403:6001", fake_tool(tmp_path, LISTED))
        message = str(failure.value)
        assert message.startswith("usb:0403:6001 names 2 ports, not one: /dev/ttyUSB0 (")
        assert "/dev/ttyUSB1 (usb 0403:6001, serial A7B3C9DX" in message

    def test_a_location_is_compared_as_listed(self, tmp_path):
        with pytest.raises(DeviceError, match="names no port present"):
            bench.resolve_port("location:1-1.3", fake_tool(tmp_path, LISTED))

    def test_a_tool_that_cannot_list_says_so(self, tmp_path):
        with pytest.raises(DeviceError, match="cannot list the ports"):
            bench.resolve_port("usb:0403:6001", fake_tool(tmp_path, {"error": "no udev"}, status=2))

    @pytest.mark.parametrize("selector", ["usb:0403", "usb:0403:", "usb:04031:6001", "usb:xyz:6001",
                                          "usb:0403:6001:", "location:", ""])
    def test_malformed_selectors(self, tmp_path, selector):
        with pytest.raises(ValueError):
            bench.resolve_port(selector, fake_tool(tmp_path, LISTED))
        assert not (tmp_path / "calls").exists()

    def test_the_tools_own_list_parses(self):
        listed = subprocess.run([os.environ["KESTRIN_TOOL"], "ports", "--json"], capture_output=True, text=True,
                                check=True)
        for listing in json.loads(listed.stdout):
            bench.selector_test("usb:0403:6001")(listing)


# ---- Times and settings as typed --------------------------------------------------------

@pytest.mark.parametrize("text, ms", [("100ms", 100), ("2s", 2000), ("1.5s", 1500), ("250", 250),
                                      ("1m", 60000), ("1min", 60000), ("1h", 3600000), (" 0.3s ", 300)])
def test_durations(text, ms):
    assert bench.parse_duration_ms(text) == ms


@pytest.mark.parametrize("text", ["", "fast", "1.0001s", "-5ms", "5 parsecs"])
def test_durations_refused(text):
    with pytest.raises(ValueError):
        bench.parse_duration_ms(text)


@pytest.mark.parametrize("text, parity", [("N", "none"), ("even", "even"), ("O", "odd"), ("Mark", "mark"),
                                          ("s", "space")])
def test_parities(text, parity):
    assert bench.parse_parity(text) == parity


# ---- Windows: what no test here can run, checked where it can be ------------------------

# Offsets and sizes as Windows' headers give them (winbase.h).
DCB_OFFSETS = {"DCBlength": 0, "BaudRate": 4, "wReserved": 12, "XonLim": 14, "XoffLim": 16, "ByteSize": 18,
               "Parity": 19, "StopBits": 20, "XonChar": 21, "XoffChar": 22, "ErrorChar": 23, "EofChar": 24,
               "EvtChar": 25, "wReserved1": 26}
# The flags' bits in the DWORD at offset 8.
DCB_BITS = {"fBinary": (0, 1), "fParity": (1, 1), "fOutxCtsFlow": (2, 1), "fOutxDsrFlow": (3, 1),
            "fDtrControl": (4, 2), "fDsrSensitivity": (6, 1), "fTXContinueOnXoff": (7, 1), "fOutX": (8, 1),
            "fInX": (9, 1), "fErrorChar": (10, 1), "fNull": (11, 1), "fRtsControl": (12, 2),
            "fAbortOnError": (14, 1)}


class TestWindowsStructures:
    def test_dcb_layout(self):
        import ctypes

        assert ctypes.sizeof(_win32.DCB) == 28
        for name, offset in DCB_OFFSETS.items():
            assert getattr(_win32.DCB, name).offset == offset, name
        for name, (bit, width) in DCB_BITS.items():
            dcb = _win32.DCB()
            setattr(dcb, name, (1 << width) - 1)
            assert int.from_bytes(bytes(dcb)[8:12], "little") == ((1 << width) - 1) << bit, name

    def test_timeouts_and_properties_sizes(self):
        import ctypes

        assert ctypes.sizeof(_win32.COMMTIMEOUTS) == 20
        assert ctypes.sizeof(_win32.COMMPROP) == 64
        assert _win32.COMMPROP.dwCurrentRxQueue.offset == 48

    def test_layout_agrees_with_mingw(self, tmp_path):
        compiler = os.environ.get("KESTRIN_MINGW_CC")
        if not compiler:
            pytest.skip("MinGW-w64's compiler is not installed")
        checks = [f"_Static_assert(offsetof(DCB, {name}) == {offset}, \"{name}\");"
                  for name, offset in DCB_OFFSETS.items()]
        checks.append(f"_Static_assert(sizeof(DCB) == {__import__('ctypes').sizeof(_win32.DCB)}, \"DCB\");")
        checks.append("_Static_assert(offsetof(COMMPROP, dwCurrentRxQueue) == 48, \"COMMPROP\");")
        checks.append("_Static_assert(sizeof(COMMPROP) == 64 && sizeof(COMMTIMEOUTS) == 20, \"sizes\");")
        source = tmp_path / "layout.c"
        source.write_text("#include <windows.h>\n#include <stddef.h>\n" + "\n".join(checks))
        subprocess.run([compiler, "-fsyntax-only", "-Wall", str(source)], check=True)

    def test_the_tools_dcb(self):
        saved = _win32.DCB()
        saved.fDtrControl = _win32.DTR_CONTROL_HANDSHAKE
        saved.fRtsControl = _win32.RTS_CONTROL_TOGGLE
        saved.fOutxDsrFlow = saved.fDsrSensitivity = saved.fErrorChar = saved.fNull = saved.fAbortOnError = 1
        dcb = _win32.configured_dcb(saved, 250000, 7, "even", 2, "none", 0)
        assert (dcb.BaudRate, dcb.ByteSize, dcb.Parity, dcb.StopBits) == (250000, 7, _win32.EVENPARITY,
                                                                          _win32.TWOSTOPBITS)
        assert (dcb.fBinary, dcb.fParity, dcb.fOutxCtsFlow, dcb.fOutX, dcb.fInX) == (1, 1, 0, 0, 0)
        assert (dcb.fOutxDsrFlow, dcb.fDsrSensitivity, dcb.fErrorChar, dcb.fNull, dcb.fAbortOnError) == (0,) * 5
        assert (dcb.fDtrControl, dcb.fRtsControl) == (_win32.DTR_CONTROL_ENABLE, _win32.RTS_CONTROL_ENABLE)
        assert saved.fDtrControl == _win32.DTR_CONTROL_HANDSHAKE  # the saved one is left alone

    def test_the_tools_dcb_with_flow_control(self):
        rts = _win32.configured_dcb(_win32.DCB(), 9600, 8, "none", 1, "rtscts", 0)
        assert (rts.fOutxCtsFlow, rts.fRtsControl, rts.fParity) == (1, _win32.RTS_CONTROL_HANDSHAKE, 0)
        xon = _win32.configured_dcb(_win32.DCB(), 9600, 8, "mark", 1, "xonxoff", 1024)
        assert (xon.fOutX, xon.fInX, xon.XonChar, xon.XoffChar) == (1, 1, b"\x11", b"\x13")
        assert (xon.XonLim, xon.XoffLim, xon.Parity) == (256, 256, _win32.MARKPARITY)
        assert _win32.configured_dcb(_win32.DCB(), 9600, 8, "none", 1, "xonxoff", 0).XoffLim == 1024

    def test_the_tools_read_timeouts(self):
        waits = _win32.read_timeouts(100)
        assert (waits.ReadIntervalTimeout, waits.ReadTotalTimeoutMultiplier, waits.ReadTotalTimeoutConstant,
                waits.WriteTotalTimeoutConstant) == (_win32.MAXDWORD, _win32.MAXDWORD, 100, 5000)

    @pytest.mark.parametrize("name", ["COM3", "com3", "\\\\.\\COM3"])
    def test_one_claim_per_port_however_named(self, name):
        assert _win32.port_claim_name(name) == "Global\\kestrin-port-COM3"
        assert _win32.port_device_path(name) in ("\\\\.\\COM3", "\\\\.\\com3")
