#!/usr/bin/python3
"""Per-byte cost of the polling logic on the virtual clock, as one JSON object.

    bench/logic/logic_cost.py --build build/linux [--quick]

Google Benchmark gives the time (CPU time; the fake's reads and ticks
included). Callgrind gives instruction counts, which do not drift with the
machine's load: all of pollUart, and separately the fake's readPort and
tickCount, so that the logic's own share is the difference.
"""

import argparse
import concurrent.futures
import json
import os
import subprocess
import sys
import tempfile

LENGTHS = (1, 7, 20)
# Multiples of 32 polls: the fake's queue frees a block every 32 bytes, so
# both counts hold whole cycles of it and the per-poll figure is exact.
POLLS = (1024, 2048)
POLL_UART = "pollUart(void*, int, unsigned char*, int)"
# The seam's functions by name, whatever their parameters: a full signature
# that no longer matches would silently count the fake as logic.
FAKE = ("readPort(*", "tickCount(*")


class Failure(Exception):
    pass


def run(command):
    done = subprocess.run(command, capture_output=True, text=True)
    if done.returncode != 0:
        raise Failure(f"{' '.join(command)} exited with {done.returncode}:\n{done.stderr.strip()}")
    return done.stdout


def google_benchmark(build, quick):
    command = [os.path.join(build, "poll_logic_benchmark"), "--benchmark_format=json"]
    if quick:
        # Debian's Google Benchmark 1.7.1 takes plain seconds, no "s" suffix.
        command.append("--benchmark_min_time=0.05")
    else:
        command += ["--benchmark_repetitions=5", "--benchmark_report_aggregates_only=true"]
    results = []
    for b in json.loads(run(command))["benchmarks"]:
        if b.get("error_occurred"):
            raise Failure(f"{b['name']}: {b.get('error_message')}")
        if b["run_type"] != "iteration" and b.get("aggregate_name") != "median":
            continue
        family, length = b["run_name"].split("/")
        scale = {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}[b["time_unit"]]
        ns_per_poll = b["cpu_time"] * scale
        results.append({
            "case": "matched" if family == "BM_Matched" else "mismatch_then_match",
            "length": int(length),
            "bytes_per_poll": int(b["bytes_per_poll"]),
            "ns_per_poll": round(ns_per_poll, 2),
            "ns_per_byte": round(ns_per_poll / b["bytes_per_poll"], 2),
        })
    if not results:
        raise Failure("poll_logic_benchmark reported no runs")
    return results


def instructions(build, scratch, functions, length, polls):
    """Instructions executed inside `functions` over `polls` polls."""
    out = os.path.join(scratch, f"{functions[0].split('(')[0]}-{length}-{polls}.out")
    command = ["valgrind", "--tool=callgrind", "--collect-atstart=no",
               f"--callgrind-out-file={out}"]
    command += [f"--toggle-collect={f}" for f in functions]
    command += [os.path.join(build, "poll_logic_count"), str(length), str(polls)]
    run(command)
    with open(out) as f:
        for line in f:
            if line.startswith("summary:"):
                return int(line.split()[1])
    raise Failure(f"no summary line in {out}")


def callgrind(build):
    jobs = [(functions, length, polls)
            for length in LENGTHS for functions in ((POLL_UART,), FAKE) for polls in POLLS]
    with tempfile.TemporaryDirectory(prefix="kestrin-callgrind-") as scratch, \
            concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 1) as pool:
        counts = dict(zip(jobs, pool.map(lambda job: instructions(build, scratch, *job), jobs)))
    few, many = POLLS
    results = []
    for length in LENGTHS:
        # The difference between the two runs leaves out anything done once.
        per_poll = {functions: (counts[functions, length, many] - counts[functions, length, few]) / (many - few)
                    for functions in ((POLL_UART,), FAKE)}
        total, fake = per_poll[(POLL_UART,)], per_poll[FAKE]
        results.append({
            "length": length,
            "instructions_per_poll": total,
            "instructions_per_byte": round(total / length, 3),
            "logic_instructions_per_poll": total - fake,
            "fake_instructions_per_poll": fake,
            "logic_instructions_per_byte": round((total - fake) / length, 3),
            "fake_instructions_per_byte": round(fake / length, 3),
            # What the first `few` polls cost beyond `few` steady ones.
            "once_only_instructions": round(counts[(POLL_UART,), length, few] - few * total),
        })
    return results


def per_extra_byte(timed, counted):
    """Slope between the shortest and longest matched reply: the cost of one
    more byte, with the per-poll overhead taken out."""
    ns = {t["length"]: t["ns_per_poll"] for t in timed if t["case"] == "matched"}
    ir = {c["length"]: c for c in counted}
    short, long = LENGTHS[0], LENGTHS[-1]

    def slope(per_poll):
        return round((per_poll(long) - per_poll(short)) / (long - short), 3)

    return {
        "from_length": short,
        "to_length": long,
        "ns": slope(lambda n: ns[n]),
        "instructions": slope(lambda n: ir[n]["instructions_per_poll"]),
        "logic_instructions": slope(lambda n: ir[n]["logic_instructions_per_poll"]),
        "fake_instructions": slope(lambda n: ir[n]["fake_instructions_per_poll"]),
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", required=True, help="build directory, e.g. build/linux")
    parser.add_argument("--quick", action="store_true", help="short benchmark runs, no repetitions")
    args = parser.parse_args()
    try:
        for tool in ("poll_logic_benchmark", "poll_logic_count"):
            if not os.access(os.path.join(args.build, tool), os.X_OK):
                raise Failure(f"{tool} is not built in {args.build}")
        version = run(["valgrind", "--version"]).strip()
        timed = google_benchmark(args.build, args.quick)
        counted = callgrind(args.build)
        report = {
            "mode": "quick" if args.quick else "full",
            "google_benchmark": timed,
            "callgrind": counted,
            "per_extra_byte": per_extra_byte(timed, counted),
            "valgrind": version,
        }
    except (Failure, OSError) as e:
        print(f"logic_cost.py: {e}", file=sys.stderr)
        return 1
    json.dump(report, sys.stdout, indent=1)
    print()
    return 0


if __name__ == "__main__":
    sys.exit(main())
