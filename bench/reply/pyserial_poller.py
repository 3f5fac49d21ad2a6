#!/usr/bin/python3
"""pyserial's read_until as a poller for kestrin_reply_bench: one thread per
port, the same rounds and the same result lines as the C++ pollers."""
import argparse
import os
import sys
import threading
import time

import serial

REPLY = b"READY\r\n"


def poll_port(index, port, rounds, results):
    lines = []
    try:
        for r in range(rounds):
            port.write(b"?")
            start = time.clock_gettime_ns(time.CLOCK_MONOTONIC)
            cpu = time.thread_time_ns()
            matched = port.read_until(REPLY, len(REPLY)) == REPLY
            done = time.clock_gettime_ns(time.CLOCK_MONOTONIC)
            cpu = time.thread_time_ns() - cpu
            lines.append(f"{index} {r} {start} {done} {cpu} {int(matched)}")
    except Exception as e:  # pylint: disable=broad-except
        # The device would wait for this port's next request for ever.
        print(f"pyserial: {type(e).__name__}: {e} (port {index + 1} of {len(results)}, "
              f"round {len(lines) + 1})", file=sys.stderr, flush=True)
        os._exit(3)
    results[index] = lines


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, required=True)
    parser.add_argument("paths", nargs="+")
    args = parser.parse_args()
    ports = [serial.Serial(path, 9600, timeout=10) for path in args.paths]
    results = [[] for _ in ports]
    threads = [threading.Thread(target=poll_port, args=(i, p, args.rounds, results))
               for i, p in enumerate(ports)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    print("\n".join(line for lines in results for line in lines))


if __name__ == "__main__":
    main()
