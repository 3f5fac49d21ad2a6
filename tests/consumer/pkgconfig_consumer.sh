#!/usr/bin/env bash
# Builds consumer.cpp the way a Makefile user does,
#   $CXX consumer.cpp $(pkg-config --cflags --libs kestrin)
# against an installed Kestrin, then runs it.
#   pkgconfig_consumer.sh PREFIX CXX OUTDIR [RUNNER...]
# RUNNER, if given, runs the program: Wine for a MinGW compiler, qemu-user
# (with its arguments) for a Linux cross compiler.
set -euo pipefail
prefix=$1 cxx=$2 out=$3
shift 3
runner=("$@")
here=$(cd "$(dirname "$0")" && pwd)

# Only the tree under test may answer, not a kestrin.pc installed elsewhere.
# Its libdir is lib, or on Debian lib/<multiarch>.
pcdirs=("$prefix"/lib/pkgconfig "$prefix"/lib/*/pkgconfig)
PKG_CONFIG_LIBDIR=$(IFS=:; echo "${pcdirs[*]}")
export PKG_CONFIG_LIBDIR
unset PKG_CONFIG_PATH
pkg-config --atleast-version=1.0 kestrin || { echo "kestrin.pc is missing or older than 1.0"; exit 1; }
flags=$(pkg-config --cflags --libs kestrin)
echo "pkg-config --cflags --libs kestrin: $flags"

rm -rf "$out"
mkdir -p "$out"
if [[ $("$cxx" -dumpmachine) == *mingw* ]]; then
    # Self-contained apart from kestrin.dll, which goes beside the program.
    "$cxx" "$here/consumer.cpp" $flags -static-libgcc -static-libstdc++ -o "$out/consumer.exe"
    cp "$prefix/bin/kestrin.dll" "$out/"
    "${runner[@]}" "$out/consumer.exe"
else
    "$cxx" "$here/consumer.cpp" $flags -o "$out/consumer"
    # The program must ask for the library by its soname.
    needed=$(readelf -d "$out/consumer" | sed -n 's/.*(NEEDED).*\[\(libkestrin[^]]*\)\].*/\1/p')
    [ "$needed" = libkestrin.so.1 ] || { echo "consumer needs '$needed', not libkestrin.so.1"; exit 1; }
    LD_LIBRARY_PATH=$(pkg-config --variable=libdir kestrin) "${runner[@]}" "$out/consumer"
fi
