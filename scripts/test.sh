#!/usr/bin/env bash
# Builds and tests every preset, or the ones named:
#   scripts/test.sh                  everything (what CI runs)
#   scripts/test.sh linux win64      just these
# Run scripts/setup.sh first.
set -euo pipefail
cd "$(dirname "$0")/.."

all=(linux win32 win64 linux-arm64 linux-armhf linux-asan linux-tsan linux-fuzz)
presets=("${@:-${all[@]}}")
for preset in "${presets[@]}"; do
  printf '%s\n' "${all[@]}" | grep -qx -- "$preset" || { echo "test.sh: no preset $preset (${all[*]})" >&2; exit 2; }
done
for preset in "${presets[@]}"; do
  cmake --preset "$preset"
  cmake --build --preset "$preset"
done
for preset in "${presets[@]}"; do
  ctest --preset "$preset"
done
