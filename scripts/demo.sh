#!/usr/bin/env bash
# Builds the Linux library and tool, then runs the demo: a simulated device
# on a pseudo-terminal, polled through the real library. No hardware needed.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset linux >/dev/null
# Only what the demo runs: the tool and the library it loads.
cmake --build --preset linux --target kestrin_cli >/dev/null
exec build/linux/kestrin demo "$@"
