#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks to build and test Kestrin.
# Safe to run again: packages already present are left alone.
#
#   setup.sh        everything the tests need
#   setup.sh demo   only what scripts/demo.sh needs: the native compiler and
#                   the tool's libraries
set -euo pipefail

# The library and the tool, built natively.
demo_packages=(cmake make g++ pkg-config libcli11-dev nlohmann-json3-dev libfmt-dev libudev-dev)

packages=(
  "${demo_packages[@]}"
  file dpkg-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  help2man groff-base
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64
  clang-14 clang-tools-14 llvm-14 lld-14 libclang-rt-14-dev
  wine wine64 wine32:i386
  python3 python3-pytest python3-serial python3-venv python3-setuptools python3-wheel python3-mypy
  lintian devscripts
  # The wheel's ELF files read against the manylinux policy (check_wheel.py).
  python3-pyelftools
  valgrind gnuplot-nox
  # USB serial adapters faked for the tool's ports scenario.
  umockdev gir1.2-umockdev-1.0 python3-gi
  # Linux on ARM: cross compilers, qemu-user to run the tests, and the
  # target's runtime and libraries from Debian's multiarch packages.
  g++-aarch64-linux-gnu g++-arm-linux-gnueabihf qemu-user
  libc6:arm64 libstdc++6:arm64 libgtest-dev:arm64 libudev-dev:arm64
  libc6:armhf libstdc++6:armhf libgtest-dev:armhf libudev-dev:armhf
)

case "${1:-all}" in
  demo) packages=("${demo_packages[@]}") ;;
  all) ;;
  *) echo "usage: $0 [demo]" >&2; exit 2 ;;
esac

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && { echo "setup: nothing to install"; exit 0; }

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
export DEBIAN_FRONTEND=noninteractive
# i386 for Wine, arm64 and armhf for the ARM builds; the demo needs none.
refresh=no
foreign=(i386 arm64 armhf)
[ "${1:-all}" = demo ] && foreign=()
# A fresh machine may never have fetched a package list.
[ -n "$(ls -A /var/lib/apt/lists 2>/dev/null | grep -v -e '^lock$' -e '^partial$')" ] || refresh=yes
for arch in "${foreign[@]}"; do
  if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
    $SUDO dpkg --add-architecture "$arch"
    refresh=yes
  fi
done
echo "setup: installing ${missing[*]}"
install_missing() { $SUDO apt-get install -y -q --no-install-recommends "$@" "${missing[@]}"; }
# A library built for several architectures must be the same version on all
# of them. When a mirror caught mid-sync serves the security suite's list for
# one architecture but not another, the two disagree and apt gives up; the
# release's own suite has one version for all, so install from it instead.
codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
install_in_step() {
  install_missing && return 0
  [ -n "$codename" ] || return 1
  echo "setup: architectures out of step (security lists incomplete?); installing from $codename"
  install_missing -t "$codename"
}
# A new architecture has no lists yet. Otherwise try the lists apt has (CI
# refreshed them a moment ago) and refresh only if they name versions the
# mirror no longer holds.
if [ "$refresh" = yes ]; then
  "$(dirname "$0")/apt-update.sh"
  install_in_step
else
  install_missing || { "$(dirname "$0")/apt-update.sh"; install_in_step; }
fi
