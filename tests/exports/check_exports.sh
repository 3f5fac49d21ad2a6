#!/usr/bin/env bash
# Fails unless the library's export table holds exactly the names host programs
# look up (none missing, none extra) and, on Windows, the DLL needs nothing but
# the system's own DLLs.
#   check_exports.sh linux|win32|win64 LIBRARY OBJDUMP NAME...
# The names come from cmake/KestrinAbi.cmake.
set -euo pipefail
flavour=$1 library=$2 objdump=$3
shift 3
[ $# -gt 0 ] || { echo "no expected names given" >&2; exit 2; }
expected=$(printf '%s\n' "$@")

if [ "$flavour" = linux ]; then
  # Defined dynamic symbols, without the version node the linker adds.
  actual=$(nm -D --defined-only "$library" | awk '$2 != "A" { print $3 }' | sed 's/@.*//')
else
  # Lines of the export name table look like "\t[   3] _Z8pollUartPviPhi".
  actual=$("$objdump" -p "$library" |
    sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
    sed -n 's/^[[:space:]]*\[[[:space:]]*[0-9]*\][[:space:]]*//p')
fi

expected=$(printf '%s\n' "$expected" | LC_ALL=C sort)
actual=$(printf '%s\n' "$actual" | LC_ALL=C sort)
if [ "$expected" != "$actual" ]; then
  echo "export table of $library differs (< expected, > actual):"
  diff <(printf '%s\n' "$expected") <(printf '%s\n' "$actual") || true
  exit 1
fi
echo "$library exports exactly:"
printf '  %s\n' $actual

if [ "$flavour" != linux ]; then
  # The GCC runtime is linked in; a libgcc_s, libstdc++ or libwinpthread
  # import would make the DLL fail to load on a machine without MinGW.
  imports=$("$objdump" -p "$library" | sed -n 's/^[[:space:]]*DLL Name: //p')
  foreign=$(printf '%s\n' "$imports" | grep -viE '^(kernel32|msvcrt)\.dll$' || true)
  if [ -n "$foreign" ]; then
    echo "$library imports DLLs that are not part of Windows: $foreign"
    exit 1
  fi
  echo "$library imports only:" $imports
fi
