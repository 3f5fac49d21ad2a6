"""A serial device played from a script on the master side of a pseudo-terminal.

The program under test opens the slave side: on Linux by its path
(/dev/pts/N), under Wine as the COM port that wine_com.py links to it. The
same scripts therefore drive the tool everywhere. Python 3 standard library
only.

A script is a list of steps separated by spaces, played in order:
  expect:TEXT     wait until the program has sent TEXT (bytes before it are
                  skipped); the device fails if it never comes
  wait:MS         pause
  send:TEXT       write TEXT in one go
  drip:MS:TEXT    write TEXT one byte at a time, MS apart
  hangup          close the device's side, as an unplugged adapter does
  answer:ASK=TEXT from here on, answer every ASK with TEXT (a soak's device)
TEXT takes C escapes (\\r \\n \\t \\\\ \\xHH; \\x20 is a space). An empty
script is a silent device. Steps still pending when the device is finished
are dropped, except an unmet expect, which is its failure.
"""

import codecs
import fcntl
import os
import select
import struct
import termios
import threading
import time
import tty


def decode_text(text):
    return codecs.escape_decode(text.encode("latin-1"))[0]


def parse_script(script):
    steps = []
    for word in script.split():
        kind, _, rest = word.partition(":")
        if kind in ("expect", "send"):
            steps.append((kind, decode_text(rest)))
        elif kind == "wait":
            steps.append((kind, int(rest) / 1000))
        elif kind == "answer":
            ask, _, reply = rest.partition("=")
            steps.append((kind, (decode_text(ask), decode_text(reply))))
        elif kind == "hangup" and not rest:
            steps.append((kind, None))
        elif kind == "drip":
            gap, _, text = rest.partition(":")
            steps.append((kind, (int(gap) / 1000, decode_text(text))))
        else:
            raise ValueError(f"unknown device step {word!r}")
    return steps


class Device(threading.Thread):
    """Plays one script on the master side of a raw pseudo-terminal, from
    start() until finish(), however many programs open it meanwhile.

    .slave_path is what a Linux program opens; .port is what the program is
    told (the slave path, or a COM port linked to it). .heard is every byte
    the program sent, .received what it sent after the last met expect,
    .failure None while the script holds.
    """

    def __init__(self, name, script, terminal=None):
        """`terminal`: the (master, slave) descriptors of a pseudo-terminal
        to play on, which the device then owns, instead of a new one."""
        super().__init__(name=f"device-{name}", daemon=True)
        self.device_name = name
        self.steps = parse_script(script)
        self.master, self.slave = terminal or os.openpty()
        tty.setraw(self.slave)
        self.slave_path = os.ttyname(self.slave)
        self.port = self.slave_path
        # What the port was set to before any program ran.
        self.settings_before = self.settings()
        self.settings_after = None
        self.heard = b""
        self.received = b""
        self.failure = None
        self.finished_steps = 0
        self._ended = threading.Event()

    def run(self):
        try:
            self._play()
            # Whatever the program still sends is heard, not left to fill
            # the terminal's buffer.
            while not self._ended.is_set():
                if not self._read(0.05) and self.master is None:
                    self._ended.wait(0.05)
        except OSError as error:
            self.failure = f"device failed: {error}"

    def _play(self):
        for kind, argument in self.steps:
            if kind == "expect":
                if not self._expect(argument):
                    return
            elif self._ended.is_set():
                return
            elif kind == "wait":
                self._ended.wait(argument)
            elif kind == "send":
                os.write(self.master, argument)
            elif kind == "hangup":
                master, self.master = self.master, None
                os.close(master)
            elif kind == "answer":
                ask, reply = argument
                while self._expect(ask, fail=False):
                    os.write(self.master, reply)
                return
            elif kind == "drip":
                gap, text = argument
                for i in range(len(text)):
                    if i and self._ended.wait(gap):
                        return
                    os.write(self.master, text[i:i + 1])
            self.finished_steps += 1

    def _expect(self, text, fail=True):
        searched = 0
        while True:
            found = self.received.find(text, searched)
            if found >= 0:
                self.received = self.received[found + len(text):]
                return True
            searched = max(0, len(self.received) - len(text) + 1)
            ended = self._ended.is_set()
            if not self._read(0.05) and ended:
                if fail:
                    self.failure = f"waited for {text!r}; the program sent {self.received!r}"
                return False

    def _read(self, wait):
        if self.master is None:
            return False
        ready, _, _ = select.select([self.master], [], [], wait)
        if not ready:
            return False
        try:
            data = os.read(self.master, 4096)
        except OSError:
            return False
        self.heard += data
        self.received += data
        return True

    def settings(self):
        """The pseudo-terminal's line settings as termios.tcgetattr gives
        them (None once the line has hung up and the system no longer says)."""
        try:
            return termios.tcgetattr(self.slave)
        except termios.error:
            return None

    def send(self, data):
        """Writes `data` now, beside the script: for a reply that must wait
        until the test says so, however slow the machine."""
        os.write(self.master, data)

    def rates(self):
        """The line's input and output rates in baud, also where they have
        no B constant of their own (TCGETS2: four flags, the line
        discipline, 19 control characters, then the two rates)."""
        layout = struct.Struct("4IB19c2I")
        request = (2 << 30) | (layout.size << 16) | (ord("T") << 8) | 0x2A
        values = layout.unpack(fcntl.ioctl(self.slave, request, bytes(layout.size)))
        return values[-2], values[-1]

    def finished(self):
        """Whether every step of the script has been played."""
        return self.finished_steps == len(self.steps)

    def wait_played(self, steps=None, timeout=30):
        """Waits until `steps` steps (all by default) have been played;
        False if the timeout passed first."""
        wanted = len(self.steps) if steps is None else steps
        deadline = time.monotonic() + timeout
        while self.finished_steps < wanted:
            if time.monotonic() > deadline or self.failure:
                return False
            time.sleep(0.01)
        return True

    def wait_heard(self, data, timeout=30):
        """Waits until the program has sent `data`; False if the timeout passed first."""
        deadline = time.monotonic() + timeout
        while data not in self.heard:
            if time.monotonic() > deadline:
                return False
            time.sleep(0.01)
        return True

    def finish(self):
        """Stops the script: pending steps are dropped, an unmet expect fails."""
        self.settings_after = self.settings()
        self._ended.set()
        if self.is_alive():
            self.join(timeout=5)
            if self.is_alive():
                self.failure = "device did not stop"

    # The name wine_com.py's runs use: the device ends with the program.
    program_ended = finish

    def close(self):
        if self.master is not None:
            os.close(self.master)
            self.master = None
        os.close(self.slave)
