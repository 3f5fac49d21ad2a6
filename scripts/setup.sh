#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks to build and test Kestrin.
# Safe to run again: packages already present are left alone.
set -euo pipefail

packages=(
  cmake make g++ pkg-config file dpkg-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev libcli11-dev nlohmann-json3-dev libfmt-dev
  libudev-dev help2man groff-base
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64
  clang-14 clang-tools-14 llvm-14 lld-14 libclang-rt-14-dev
  wine wine64 wine32:i386
  python3 python3-pytest python3-serial
  valgrind gnuplot-nox
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && { echo "setup: nothing to install"; exit 0; }

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
export DEBIAN_FRONTEND=noninteractive
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
fi
echo "setup: installing ${missing[*]}"
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
