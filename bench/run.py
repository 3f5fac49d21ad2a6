#!/usr/bin/python3
"""Kestrin against the limit and its peers: runs every benchmark, prints one
table and writes it, its raw figures and a plot into --out.

    bench/run.py --build build/linux [--quick] [--out DIR] [--update-docs]
                 [--before REV | --before-library PATH]

Reply latency is measured for Kestrin (the kestrin tool's default port
settings), a plain poll(2)+read(2) loop and pyserial's read_until, on the same
simulated devices, at 1, 16, 64 and 256 ports polled at once.

One poll on each kind of dead or badly configured port is measured too (wall
time, CPU, read() calls), and with --before for an older build of the library
beside it: REV is built from git into BUILD/bench-before/.
"""

import argparse
import concurrent.futures
import datetime
import json
import math
import os
import platform
import re
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
PYTHON = "/usr/bin/python3"  # Debian's, which has pyserial

POLLERS = ("kestrin", "poll-read", "pyserial")
TITLES = {"kestrin": "Kestrin", "poll-read": "poll+read", "pyserial": "pyserial"}
# How the device hands over its 7-byte reply: a byte every 87 us, as a UART
# at 115200 baud does, or all at once, as a USB adapter passes on a packet.
MODES = (("uart", 87, "a byte every 87 µs (115200 baud)"),
         ("burst", 0, "whole reply in one write"))

TARGETS = {"median_vs_poll_read": 1.1, "p90_vs_poll_read": 1.5,
           "pyserial_vs_kestrin": 3.0, "idle_percent_per_port": 0.1}


class Failure(Exception):
    pass


def poller_command(build, poller):
    if poller == "pyserial":
        return [PYTHON, os.path.join(HERE, "reply", "pyserial_poller.py")]
    return [os.path.join(build, "kestrin_reply_bench"), "poll", "--kind", poller]


def run_device(build, poller, ports, rounds, hold_ms=1, byte_us=87, library=None):
    """One poller against `ports` simulated devices; the driver's counts and
    samples, or a dict with "error" when the poller could not do it. With
    `library`, the poller loads that build of the library instead."""
    command = [os.path.join(build, "kestrin_reply_bench"), "device", "--ports", str(ports),
               "--rounds", str(rounds), "--hold-ms", str(hold_ms), "--byte-us", str(byte_us)]
    command += ["--"] + poller_command(build, poller)
    # Searched before the bench's own RUNPATH.
    env = dict(os.environ, LD_LIBRARY_PATH=os.path.dirname(library)) if library else None
    done = subprocess.run(command, capture_output=True, text=True, timeout=600, env=env)
    if done.stdout.strip():
        result = json.loads(done.stdout)
        if done.returncode != 0:
            result["error"] = f"{result['replies'] - result['matched']} of {result['replies']} replies not matched"
        return result
    reasons = [line for line in done.stderr.splitlines() if not line.startswith("kestrin_reply_bench")]
    return {"ports": ports, "error": (reasons or done.stderr.splitlines() or ["no output"])[-1]}


def percentile(values, p):
    """Linear between the closest ranks."""
    if not values:
        return 0.0
    values = sorted(values)
    rank = p * (len(values) - 1)
    low = int(rank)
    high = min(low + 1, len(values) - 1)
    return values[low] + (values[high] - values[low]) * (rank - low)


def pool_runs(runs):
    """One result, with percentiles, from runs of the same poller and size."""
    failed = [r for r in runs if "error" in r]
    if failed:
        return failed[0]
    pooled = {key: sum(r[key] for r in runs) for key in ("rounds", "replies", "reported", "matched")}
    pooled["ports"] = runs[0]["ports"]
    for key in ("latency_us", "cpu_us_per_poll", "cpu_percent_of_core_while_polling"):
        values = [v for r in runs for v in r["samples"][key]]
        pooled[key] = {"median": percentile(values, 0.5), "p90": percentile(values, 0.9),
                       "p99": percentile(values, 0.99), "min": min(values, default=0.0),
                       "max": max(values, default=0.0)}
    return pooled


def measure_latency(build, sizes, samples, blocks):
    """The pollers take turns in `blocks` blocks, each leading one in turn, so
    that a machine whose speed drifts during the run favours none of them."""
    results = {}
    for mode, byte_us, _ in MODES:
        for ports in sizes:
            rounds = max(math.ceil(samples / blocks / ports), 3)
            runs = {p: [] for p in POLLERS}
            print(f"  {mode:5} {ports:3} ports", file=sys.stderr, flush=True)
            for b in range(blocks):
                for poller in POLLERS[b % len(POLLERS):] + POLLERS[:b % len(POLLERS)]:
                    if runs[poller] and "error" in runs[poller][-1]:
                        continue
                    runs[poller].append(run_device(build, poller, ports, rounds, byte_us=byte_us))
            for poller in POLLERS:
                results[(mode, ports, poller)] = pool_runs(runs[poller])
    return results


def measure_against_before(build, before_library, blocks, rounds):
    """One port, both modes: this library, the one before, the poll+read
    loop and the same loop reading one byte a read (what one-byte reads cost
    at best), taking turns block by block, so that they share the machine's
    drift; a run of the whole bench at another time does not."""
    entrants = (("kestrin", None), ("kestrin", before_library), ("poll-read", None), ("poll-read1", None))
    figures = {}
    for mode, byte_us, _ in MODES:
        runs = {i: [] for i in range(len(entrants))}
        for b in range(blocks):
            for i in list(runs)[b % len(runs):] + list(runs)[:b % len(runs)]:
                poller, library = entrants[i]
                runs[i].append(run_device(build, poller, 1, rounds, byte_us=byte_us, library=library))
        figures[mode] = [pool_runs(runs[i]) for i in range(len(entrants))]
    return figures


def against_before_table(figures):
    head = ["Reply", "Kestrin µs (× poll+read)", "before µs (× poll+read)", "poll+read µs",
            "one-byte poll+read µs (× poll+read)"]
    rows = []
    for mode, _, _ in MODES:
        now, before, loop, loop1 = figures[mode]
        if any("error" in r for r in (now, before, loop, loop1)):
            rows.append([mode, "failed", "", "", ""])
            continue
        base = loop["latency_us"]["median"]
        cell = lambda r: f"{us(r['latency_us']['median'])} (×{ratio(r['latency_us']['median'], base):.2f})"
        rows.append([mode, cell(now), cell(before), us(base), cell(loop1)])
    return head, rows


def measure_waiting(build, hold_ms, rounds, read_waits):
    """Each poller waits hold_ms on a silent port before the reply comes; at
    the same time, Kestrin polls silent ports until its idle stop for each
    read wait. Both cost little CPU, so they share the time."""
    with concurrent.futures.ThreadPoolExecutor() as pool:
        waits = {p: pool.submit(run_device, build, p, 1, rounds, hold_ms) for p in POLLERS}
        sweep = pool.submit(subprocess.run, [os.path.join(build, "kestrin_reply_bench"), "read-wait",
                                             "--waits", ",".join(map(str, read_waits))],
                            capture_output=True, text=True, timeout=120)
        waiting = {p: pool_runs([f.result()]) for p, f in waits.items()}
        done = sweep.result()
    if done.returncode != 0:
        raise Failure(f"read-wait: {done.stderr.strip()}")
    return waiting, json.loads(done.stdout)


# Dead and badly configured ports, in the order of the table; the first six
# are the ones the fix for spinning and hanging polls was measured on.
BAD_PORTS = ("hung_up", "fd_9999", "closed_fd", "nonblocking_vtime0", "blocking_vmin1", "raw_vtime1",
             "canonical", "blocking_vmin4", "socket", "pipe", "socket_peer_closed", "pipe_writer_closed")
# Kinds on which a library that reads without waiting first may spin: measured
# one at a time, so that spinning polls do not share the cores and each
# other's CPU figures. The rest sleep or block, and run side by side.
MAY_SPIN = ("hung_up", "fd_9999", "closed_fd", "nonblocking_vtime0", "socket_peer_closed", "pipe_writer_closed")


def bad_ports(build, library, budget_ms, stop_after_s, one_at_a_time):
    """One poll on each kind of port through `library`; rows by kind."""
    tool = os.path.join(build, "kestrin_bad_ports_bench")

    def run(kinds, jobs):
        command = [tool, "--library", library, "--budget", str(budget_ms), "--stop-after", str(stop_after_s),
                   "--jobs", str(jobs), "--kinds", ",".join(kinds)]
        done = subprocess.run(command, capture_output=True, text=True, timeout=stop_after_s * len(kinds) + 120)
        if done.returncode != 0:
            raise Failure(f"kestrin_bad_ports_bench: {done.stderr.strip()}")
        return json.loads(done.stdout)

    if one_at_a_time:
        calm = [k for k in BAD_PORTS if k not in MAY_SPIN]
        rows = run(calm, len(calm)) + run(list(MAY_SPIN), 1)
    else:
        rows = run(list(BAD_PORTS), len(BAD_PORTS))
    return {r["kind"]: r for r in rows}


def build_before(build, rev):
    """The library of git revision REV, built once into BUILD/bench-before/."""
    short = subprocess.run(["git", "-C", ROOT, "rev-parse", "--short", rev], capture_output=True, text=True)
    if short.returncode != 0:
        raise Failure(f"--before {rev}: {short.stderr.strip()}")
    where = os.path.join(build, "bench-before", short.stdout.strip())
    library = os.path.join(where, "build", "libkestrin.so")
    if os.path.exists(library):
        return library
    source = os.path.join(where, "src")
    os.makedirs(source, exist_ok=True)
    archive = subprocess.run(["git", "-C", ROOT, "archive", rev], capture_output=True, check=True).stdout
    subprocess.run(["tar", "-x", "-C", source], input=archive, check=True)
    for command in (["cmake", "-S", source, "-B", os.path.join(where, "build"), "-DCMAKE_BUILD_TYPE=Release",
                     "-DBUILD_TESTING=OFF", "-DKESTRIN_BUILD_BENCHMARKS=OFF"],
                    ["cmake", "--build", os.path.join(where, "build"), "--target", "kestrin", "-j2"]):
        done = subprocess.run(command, capture_output=True, text=True)
        if done.returncode != 0:
            raise Failure(f"building {rev}: {done.stdout[-2000:]}{done.stderr[-2000:]}")
    return library


def measure_bad_ports(build, quick, before_library, before_label):
    """This build's library, and an older one beside it when given."""
    budget_ms, stop_after_s = (0, 10) if quick else (12000, 25)
    after = bad_ports(build, os.path.join(build, "libkestrin.so"), budget_ms, stop_after_s, False)
    before = bad_ports(build, before_library, budget_ms, stop_after_s, True) if before_library else None
    return {"budget_ms": budget_ms, "stop_after_s": stop_after_s, "after": after, "before": before,
            "before_library": before_library, "before_label": before_label}


def measure_logic(build, quick):
    command = [PYTHON, os.path.join(HERE, "logic", "logic_cost.py"), "--build", build]
    done = subprocess.run(command + (["--quick"] if quick else []), capture_output=True, text=True, timeout=600)
    if done.returncode != 0:
        raise Failure(f"logic_cost.py: {done.stderr.strip()}")
    return json.loads(done.stdout)


def first_line(command):
    try:
        return subprocess.run(command, capture_output=True, text=True).stdout.splitlines()[0].strip()
    except (OSError, IndexError):
        return "unknown"


def describe_machine():
    cpu = "unknown"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    with open("/etc/debian_version") as f:
        debian = f.read().strip()
    pyserial = first_line([PYTHON, "-c", "import serial; print(serial.__version__)"])
    return {
        "cpu": cpu,
        "cores": os.cpu_count(),
        "kernel": platform.release(),
        "debian": debian,
        "compiler": first_line(["g++", "--version"]),
        "python": first_line([PYTHON, "--version"]),
        "pyserial": pyserial,
        "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
    }


# ---- Report -------------------------------------------------------------------

def us(value):
    return f"{value:.0f}" if abs(value) >= 100 else f"{value:.1f}"


def ratio(a, b):
    return a / b if b > 0 else math.inf


def cell(result, loop=None):
    """median / p90, and against the poll+read loop's when given."""
    if "error" in result:
        return "failed"
    lat = result["latency_us"]
    text = f"{us(lat['median'])} / {us(lat['p90'])}"
    if loop is not None and "error" not in loop:
        text += (f" (×{ratio(lat['median'], loop['latency_us']['median']):.2f} / "
                 f"×{ratio(lat['p90'], loop['latency_us']['p90']):.2f})")
    return text


def latency_table(results, sizes):
    head = ["Reply", "Ports", "Kestrin µs (× poll+read)", "poll+read µs", "pyserial µs (× poll+read)",
            "pyserial ÷ Kestrin, median", "Kestrin CPU µs/reply", "Kestrin matched"]
    rows = []
    notes = []
    for mode, _, _ in MODES:
        for ports in sizes:
            k, p, s = (results[(mode, ports, x)] for x in POLLERS)
            peer = "–"
            if "error" not in k and "error" not in s:
                peer = f"{ratio(s['latency_us']['median'], k['latency_us']['median']):.2f}"
            matched = k["error"] if "error" in k else f"{k['matched']} of {k['replies']}"
            rows.append([mode, str(ports), cell(k, p), cell(p), cell(s, p), peer,
                         us(k["cpu_us_per_poll"]["median"]) if "error" not in k else "–", matched])
            for poller, r in zip(POLLERS, (k, p, s)):
                if "error" in r:
                    notes.append(f"{TITLES[poller]}, {mode}, {ports} ports: {r['error']}")
    return head, rows, notes


def markdown(head, rows):
    lines = ["| " + " | ".join(head) + " |", "|" + "|".join("---" for _ in head) + "|"]
    lines += ["| " + " | ".join(r) + " |" for r in rows]
    return "\n".join(lines)


def check_targets(results, sizes, waiting):
    """Each target with the worst case over the sizes, and whether it holds."""
    checks = []
    for mode, _, _ in MODES:
        med, p90, peer, skipped = [], [], [], []
        for ports in sizes:
            k, p, s = (results[(mode, ports, x)] for x in POLLERS)
            if "error" in k or "error" in p:
                med.append(math.inf)
                p90.append(math.inf)
            else:
                med.append(ratio(k["latency_us"]["median"], p["latency_us"]["median"]))
                p90.append(ratio(k["latency_us"]["p90"], p["latency_us"]["p90"]))
            if "error" in s:
                skipped.append(ports)
            elif "error" not in k:
                peer.append(ratio(s["latency_us"]["median"], k["latency_us"]["median"]))
        checks.append((f"{mode}: median within {TARGETS['median_vs_poll_read']}× poll+read at every size",
                       f"worst {max(med):.2f}×", max(med) <= TARGETS["median_vs_poll_read"]))
        checks.append((f"{mode}: p90 within {TARGETS['p90_vs_poll_read']}× poll+read at every size",
                       f"worst {max(p90):.2f}×", max(p90) <= TARGETS["p90_vs_poll_read"]))
        gap = f" (pyserial failed at {', '.join(map(str, skipped))} ports)" if skipped else ""
        worst = min(peer) if peer else 0.0
        checks.append((f"{mode}: median at least {TARGETS['pyserial_vs_kestrin']:.0f}× lower than pyserial",
                       f"worst {worst:.2f}×{gap}", bool(peer) and worst >= TARGETS["pyserial_vs_kestrin"]))
    idle = waiting["kestrin"]
    share = idle["cpu_percent_of_core_while_polling"]["median"] if "error" not in idle else math.inf
    checks.append((f"idle wait with the tool's defaults below {TARGETS['idle_percent_per_port']}% of a core per port",
                   f"{share:.4f}%", share < TARGETS["idle_percent_per_port"]))
    largest = max(sizes)
    lost = [results[(m, largest, "kestrin")] for m, _, _ in MODES]
    whole = all("error" not in r and r["matched"] == r["replies"] for r in lost)
    total = sum(r.get("replies", 0) for r in lost)
    checks.append((f"{largest} ports at once: every reply matched, none lost",
                   f"{sum(r.get('matched', 0) for r in lost)} of {total}", whole))
    return checks


def waiting_table(waiting, hold_ms):
    rows = []
    for poller in POLLERS:
        r = waiting[poller]
        if "error" in r:
            rows.append([TITLES[poller], "failed", "–", "–"])
            continue
        cpu = r["cpu_us_per_poll"]["median"]
        share = r["cpu_percent_of_core_while_polling"]["median"]
        rows.append([TITLES[poller], f"{cpu / 1000:.3f}", f"{share:.4f}%", f"{r['matched']} of {r['replies']}"])
    return [f"CPU ms over {hold_ms / 1000:g} s", "% of one core", "matched"], rows


def read_wait_table(sweep):
    rows = []
    for r in sweep:
        rate = r["reads_per_second"]
        rows.append([f"{r['read_wait_ms']} ms (VTIME {r['vtime']})", f"{rate:.1f}" if rate < 10 else f"{rate:.0f}",
                     f"{r['cpu_percent_of_core']:.4f}%", f"{r['idle_stop_ms']:.1f} ms",
                     f"{r['idle_stop_ms'] - 5000:.1f} ms"])
    return ["Read wait", "reads/s while silent", "% of one core", "idle stop after", "late by"], rows


def bad_port_cells(r, stop_after_s):
    if r is None:
        return ["–", "–", "–"]
    if "error" in r:
        return ["failed", "–", "–"]
    if r["returned"]:
        wall = f"{r['wall_ms'] / 1000:.2f} s, result {r['result']}"
    else:
        wall = f"never returns (stopped after {stop_after_s} s)"
    cpu = f"{r['cpu_ms'] / 1000:.3f} s ({r['cpu_percent']:.2f}%)" if r["cpu_ms"] >= 10 else \
        f"{r['cpu_ms']:.2f} ms ({r['cpu_percent']:.3f}%)"
    return [wall, cpu, f"{r['reads']:,}".replace(",", " ")]


def bad_ports_table(bad):
    head = ["Port", "wall, result", "CPU (% of a core)", "read() calls"]
    if bad["before"] is not None:
        head = ["Port", "before: wall, result", "before: CPU", "before: read() calls",
                "after: wall, result", "after: CPU", "after: read() calls"]
    rows = []
    for kind in BAD_PORTS:
        after = bad["after"].get(kind)
        if after is None:
            continue
        cells = [after.get("description", kind)]
        if bad["before"] is not None:
            cells += bad_port_cells(bad["before"].get(kind), bad["stop_after_s"])
        rows.append(cells + bad_port_cells(after, bad["stop_after_s"]))
    return head, rows


def check_bad_ports(bad):
    """The targets for dead and badly configured ports, on this build's rows."""
    rows = list(bad["after"].values())
    ok = [r for r in rows if "error" not in r]
    worst_cpu = max((r["cpu_percent"] for r in ok), default=math.inf)
    worst_reads = max((r["reads"] for r in ok), default=math.inf)
    returned = [r for r in ok if r["returned"]]
    walls = [r["wall_ms"] for r in returned]
    # Every attempt ends on the idle limit: just past one limit per attempt.
    attempts = 1 if bad["budget_ms"] < 5001 else math.ceil((bad["budget_ms"] + 1) / 5001)
    low, high = attempts * 5000, attempts * 5000 + 100 * attempts
    spread = f"{min(walls) / 1000:.3f} to {max(walls) / 1000:.3f} s" if walls else "none"
    return [
        ("dead and badly configured ports: every poll returns, after one idle limit per attempt "
         f"({attempts} × 5 s)", f"{len(returned)} of {len(rows)}, {spread}",
         len(returned) == len(rows) and all(low < w < high for w in walls)),
        ("dead and badly configured ports: CPU below 1% of a core on every row", f"worst {worst_cpu:.3f}%",
         worst_cpu < 1.0),
        ("dead and badly configured ports: fewer than 1000 read() calls per poll on every row",
         f"worst {worst_reads}", worst_reads < 1000),
    ]


def logic_table(logic):
    cg = {c["length"]: c for c in logic["callgrind"]}
    rows = []
    for g in logic["google_benchmark"]:
        if g["case"] != "matched":
            continue
        c = cg.get(g["length"], {})
        rows.append([str(g["length"]), f"{g['ns_per_poll']:.0f}", f"{g['ns_per_byte']:.1f}",
                     f"{c.get('logic_instructions_per_poll', 0):.0f}", f"{c.get('logic_instructions_per_byte', 0):.1f}",
                     f"{c.get('fake_instructions_per_byte', 0):.1f}"])
    extra = logic["per_extra_byte"]
    rows.append(["each extra byte", "–", f"{extra['ns']:.1f}", "–", f"{extra['logic_instructions']:.1f}",
                 f"{extra['fake_instructions']:.1f}"])
    return ["Reply bytes", "ns/poll", "ns/byte", "logic instr./poll", "logic instr./byte", "fake instr./byte"], rows


def plot(results, sizes, out):
    """Median latency against ports, p90 as the bar's top, one panel per mode."""
    data = os.path.join(out, "latency.dat")
    with open(data, "w") as f:
        for mode, _, _ in MODES:
            for i, poller in enumerate(POLLERS):
                f.write(f"# {mode} {poller}\n")
                for ports in sizes:
                    r = results[(mode, ports, poller)]
                    if "error" not in r:
                        # Side by side rather than on top of each other.
                        x = ports * 1.1 ** (i - 1)
                        f.write(f"{x} {r['latency_us']['median']} {r['latency_us']['median']} "
                                f"{r['latency_us']['p90']}\n")
                f.write("\n\n")
    if shutil.which("gnuplot") is None:
        raise Failure("gnuplot is missing: run scripts/setup.sh")
    png = os.path.join(out, "latency.png")
    panels = []
    for m, (mode, _, title) in enumerate(MODES):
        series = ", ".join(
            f"'{data}' index {m * len(POLLERS) + i} using 1:2:3:4 with yerrorlines lw 2 pt 7 title '{TITLES[p]}'"
            for i, p in enumerate(POLLERS))
        failed = [str(n) for n in sizes for p in POLLERS if "error" in results[(mode, n, p)]]
        label = "unset label\n"
        if failed:
            names = sorted({TITLES[p] for n in sizes for p in POLLERS if "error" in results[(mode, n, p)]})
            label += (f"set label 1 '{', '.join(names)}: failed at {', '.join(sorted(set(failed), key=int))} ports' "
                      f"at graph 0.97, graph 0.95 right\n")
        panels.append(f"set title 'Reply: {title}'\n{label}plot {series}")
    script = f"""
set terminal pngcairo size 1200,480 font 'sans,10'
set output '{png}'
set multiplot layout 1,2
set logscale x 2
set xrange [0.7:{max(sizes) * 1.4}]
set xtics ({', '.join(str(s) for s in sizes)})
set xlabel 'ports polled at once (one thread each)'
set ylabel 'reply latency, µs (median, bar to p90)'
set yrange [0:*]
set key outside top center horizontal
set grid
{panels[0]}
{panels[1]}
unset multiplot
"""
    subprocess.run(["gnuplot"], input=script, text=True, check=True)
    return png


def render(machine, results, sizes, samples, blocks, checks, waiting, hold_ms, sweep, logic, bad, versus=None):
    head, rows, notes = latency_table(results, sizes)
    parts = [
        f"Machine: {machine['cpu']}, {machine['cores']} cores; Linux {machine['kernel']}, Debian {machine['debian']}; "
        f"{machine['compiler']}; {machine['python']}, pyserial {machine['pyserial']}; "
        f"{logic.get('valgrind', 'valgrind')}. Run {machine['date']}.",
        "",
        f"Reply latency, median / p90 in µs, from the return of the device's write() of the last reply byte "
        f"to the poller knowing it matched; a 7-byte reply, about {samples} replies per cell in {blocks} "
        f"turns per poller, replies to different ports 400 µs apart. Ratios are of medians / of p90s.",
        "",
        markdown(head, rows),
    ]
    if notes:
        parts += [""] + [f"- {n}" for n in notes]
    parts += ["", "Targets:", "", markdown(["Target", "Measured", "Met"],
                                         [[c, m, "yes" if ok else "**no**"] for c, m, ok in checks])]
    h, r = waiting_table(waiting, hold_ms)
    parts += ["", f"Waiting {hold_ms / 1000:g} s on a silent port before the reply comes (median of "
              f"{waiting['kestrin'].get('rounds', 0)}):", "", markdown(["Poller"] + h, r)]
    h, r = read_wait_table(sweep)
    parts += ["", "Kestrin on a silent port until its idle stop (5000 ms), by the host's read wait:", "",
              markdown(h, r)]
    h, r = logic_table(logic)
    parts += ["", "The polling logic alone, on the virtual-clock fake (Google Benchmark time; callgrind "
              "instructions, the fake's own share apart):", "", markdown(h, r)]
    if versus:
        parts += ["", f"One port, against {bad['before_label']}, the pollers taking turns block by block "
                  f"(medians in µs, {versus['burst'][0].get('replies', 0)} replies each):", "", markdown(*against_before_table(versus))]
    parts += ["", bad_ports_heading(bad), "", markdown(*bad_ports_table(bad))]
    return "\n".join(parts) + "\n"


def bad_ports_heading(bad):
    text = (f"Dead and badly configured ports: one `pollUart(port, 4, \"OK\\r\\n\", {bad['budget_ms']})`, "
            "nothing ever arrives; the polling thread's wall time, CPU time and read() calls "
            "(syscr of /proc/thread-self/io, which counts the reads that reach an open file, "
            "not those refused with EBADF)")
    if bad["before"] is not None:
        text += f"; before: {bad['before_label']}, after: this build"
    return text + ":"


def replace_section(doc, marker, text):
    with open(doc) as f:
        content = f.read()
    begin, end = f"<!-- {marker} begin -->", f"<!-- {marker} end -->"
    pattern = re.compile(re.escape(begin) + ".*?" + re.escape(end), re.S)
    if not pattern.search(content):
        raise Failure(f"{doc} has no {begin} ... {end} section")
    content = pattern.sub(lambda _: f"{begin}\n{text}{end}", content)
    with open(doc, "w") as f:
        f.write(content)


def update_docs(text, png, machine, bad):
    replace_section(os.path.join(ROOT, "docs", "performance.md"), "bench table", text)
    shutil.copyfile(png, os.path.join(ROOT, "docs", "performance-latency.png"))
    # The before-and-after table, when there is a before.
    if bad["before"] is not None:
        table = (f"Machine: {machine['cpu']}, {machine['cores']} cores; Linux {machine['kernel']}. "
                 f"Run {machine['date']}.\n\n{bad_ports_heading(bad)}\n\n{markdown(*bad_ports_table(bad))}\n")
        replace_section(os.path.join(ROOT, "docs", "reliability.md"), "bad ports table", table)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "linux"), help="the linux preset's build dir")
    parser.add_argument("--out", help="where the table, figures and plot go (default BUILD/bench-results)")
    parser.add_argument("--quick", action="store_true", help="a few rounds of everything, to check that it runs")
    parser.add_argument("--update-docs", action="store_true", help="put the table and plot into docs/")
    before = parser.add_mutually_exclusive_group()
    before.add_argument("--before", metavar="REV", help="also measure the dead ports with the library of git REV")
    before.add_argument("--before-library", metavar="PATH", help="also measure the dead ports with this library")
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    out = os.path.abspath(args.out or os.path.join(build, "bench-results"))
    os.makedirs(out, exist_ok=True)

    if args.quick:
        sizes, samples, blocks, hold_ms, hold_rounds, read_waits = (1, 4), 40, 2, 300, 1, (100,)
    else:
        sizes, samples, blocks, hold_ms, hold_rounds, read_waits = (1, 16, 64, 256), 3000, 6, 3000, 3, (0, 100, 1000, 2000)
    try:
        machine = describe_machine()
        print("reply latency:", file=sys.stderr, flush=True)
        results = measure_latency(build, sizes, samples, blocks)
        print("waiting cost and read waits:", file=sys.stderr, flush=True)
        waiting, sweep = measure_waiting(build, hold_ms, hold_rounds, read_waits)
        print("polling logic on the virtual clock:", file=sys.stderr, flush=True)
        logic = measure_logic(build, args.quick)
        before_library, before_label = args.before_library, args.before_library
        if args.before:
            print(f"building the library of {args.before}:", file=sys.stderr, flush=True)
            before_library = build_before(build, args.before)
            before_label = f"the library of {args.before}"
        print("dead and badly configured ports:", file=sys.stderr, flush=True)
        bad = measure_bad_ports(build, args.quick, before_library, before_label)
        versus = None
        if before_library:
            print("one port against the library before:", file=sys.stderr, flush=True)
            versus = measure_against_before(build, before_library, 2 if args.quick else 12,
                                            20 if args.quick else 500)
        checks = check_targets(results, sizes, waiting) + check_bad_ports(bad)
        text = render(machine, results, sizes, samples, blocks, checks, waiting, hold_ms, sweep, logic, bad, versus)
        png = plot(results, sizes, out)
    except (Failure, subprocess.SubprocessError, OSError, ValueError) as e:
        print(f"bench: {e}", file=sys.stderr)
        return 2
    with open(os.path.join(out, "results.md"), "w") as f:
        f.write(text)
    with open(os.path.join(out, "results.json"), "w") as f:
        json.dump({"machine": machine, "sizes": sizes,
                   "latency": [dict(r, mode=m, poller=p) for (m, _, p), r in results.items()],
                   "waiting": waiting, "read_waits": sweep, "logic": logic, "bad_ports": bad,
                   "against_before": versus,
                   "targets": [{"target": c, "measured": m, "met": ok} for c, m, ok in checks]}, f, indent=1)
    print(text)
    print(f"written to {out} (results.md, results.json, latency.png)")
    if args.update_docs:
        update_docs(text, png, machine, bad)
        print("docs/performance.md and docs/performance-latency.png updated"
              + (", and the dead-port table in docs/reliability.md" if bad["before"] is not None else ""))
    # Targets are read from the table; only a broken measurement fails the run.
    broken = [k for k, r in results.items() if k[2] != "pyserial" and "error" in r]
    broken += [p for p in ("kestrin", "poll-read") if "error" in waiting[p]]
    broken += [k for k, r in bad["after"].items() if "error" in r]
    if broken:
        print(f"bench: measurements failed: {broken}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
