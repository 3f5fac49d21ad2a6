#!/usr/bin/env bash
# Builds every preset and runs every test. Run scripts/setup.sh first.
set -euo pipefail
cd "$(dirname "$0")/.."

presets=(linux win32 win64 linux-arm64 linux-armhf linux-asan linux-tsan linux-fuzz)
for preset in "${presets[@]}"; do
  cmake --preset "$preset"
  cmake --build --preset "$preset"
done
for preset in "${presets[@]}"; do
  ctest --preset "$preset"
done
