#!/usr/bin/env python3
"""The README's C host against a device on a pseudo-terminal: it loads the
library, prints the version and about text, and polls for "OK\\r\\n".

  c_host_test.py C_HOST LIBRARY VERSION [EMULATOR ...]

With an emulator command (a cross build's qemu), the host runs through it.
"""

import os
import subprocess
import sys
import threading
import time


def run(c_host, library, device_says, emulator):
    master, slave = os.openpty()
    try:
        host = subprocess.Popen([*emulator, c_host, os.ttyname(slave), library], stdout=subprocess.PIPE, text=True)

        done = threading.Event()

        def device():
            # Answers every 0.2 s while the host runs, the first time after
            # the host has had time to open and configure the port.
            while not done.wait(0.2):
                os.write(master, device_says)

        answering = threading.Thread(target=device)
        answering.start()
        try:
            out, _ = host.communicate(timeout=20)
        finally:
            done.set()
            answering.join()
        return host.returncode, out
    finally:
        os.close(master)
        os.close(slave)


def main():
    c_host, library, version, *emulator = sys.argv[1:]
    faults = []
    status, out = run(c_host, library, b"OK\r\n", emulator)
    lines = out.split("\n")
    if status != 0 or lines[-2:] != ["matched", ""]:
        faults.append(f"a device answering OK: exit {status}, output {out!r}")
    if lines[0] != f"version 0x{int(version, 0):08x}" or not lines[1].startswith("Name:\t\t"):
        faults.append(f"version and about text: {lines[:2]!r}")
    status, out = run(c_host, library, b"NO\r\n", emulator)
    if status != 1 or not out.endswith("no match\n"):
        faults.append(f"a device answering NO: exit {status}, output {out!r}")
    for fault in faults:
        print("c_host:", fault)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
