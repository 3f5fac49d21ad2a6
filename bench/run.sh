#!/usr/bin/env bash
# Builds what the benchmarks need (linux preset) and runs them all: prints the
# table and writes it, the raw figures and the plot to build/linux/bench-results.
#   bench/run.sh [--quick] [--update-docs] [--before REV | --before-library PATH]
# Run scripts/setup.sh first. A few minutes on a 2-core machine.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset linux >/dev/null
cmake --build --preset linux --target kestrin kestrin_reply_bench kestrin_bad_ports_bench poll_logic_benchmark poll_logic_count >/dev/null
exec /usr/bin/python3 bench/run.py --build build/linux "$@"
