#!/usr/bin/env bash
# Builds the Linux library and tool, then runs the demo: a simulated device
# on a pseudo-terminal, polled through the real library. No hardware needed.
# Run scripts/setup.sh demo first (scripts/setup.sh installs it too).
set -euo pipefail
cd "$(dirname "$0")/.."

# Its own build of only what the demo runs: no tests, benchmarks or manual.
cmake --preset demo >/dev/null
cmake --build --preset demo --target kestrin_cli kestrin >/dev/null
exec build/demo/kestrin demo "$@"
