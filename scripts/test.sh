#!/usr/bin/env bash
# Builds and tests every preset, or the ones named:
#   scripts/test.sh                  everything (what CI runs)
#   scripts/test.sh linux win64      just these
# Run scripts/setup.sh first.
#
# The builds run one after another, each on every core; a preset's tests
# start as soon as it is built and run beside the builds that follow. Tests
# spend most of their time waiting (on ports, on the library's 5 s idle
# limit, on Wine and qemu starting), so they cost the builds little; the
# builds run at a lower priority, so that the tests' timing does not suffer
# from them. Each preset's test log is printed whole once its tests end.
set -euo pipefail
cd "$(dirname "$0")/.."

# The fuzz preset builds in well under a minute and then fuzzes for one: it
# goes early, so that its fuzzing overlaps the builds rather than trailing them.
all=(linux win32 win64 linux-fuzz linux-arm64 linux-armhf linux-asan linux-tsan)
presets=("${@:-${all[@]}}")
for preset in "${presets[@]}"; do
  printf '%s\n' "${all[@]}" | grep -qx -- "$preset" || { echo "test.sh: no preset $preset (${all[*]})" >&2; exit 2; }
done

logs=build/test-logs
mkdir -p "$logs"
declare -A tests=()
# A failed build ends the run; the tests already started end with it.
trap 'kill ${tests[@]+"${tests[@]}"} 2>/dev/null || true' EXIT

for preset in "${presets[@]}"; do
  started=$SECONDS
  nice -n 10 cmake --preset "$preset"
  nice -n 10 cmake --build --preset "$preset"
  echo "test.sh: $preset built in $((SECONDS - started)) s; its tests run beside what follows ($logs/$preset.log)"
  ctest --preset "$preset" > "$logs/$preset.log" 2>&1 &
  tests[$preset]=$!
done

failed=()
for preset in "${presets[@]}"; do
  status=0
  wait "${tests[$preset]}" || status=$?
  echo "==== tests of $preset (all done at $SECONDS s) ===="
  cat "$logs/$preset.log"
  [ "$status" -eq 0 ] || failed+=("$preset")
done
trap - EXIT
if [ ${#failed[@]} -gt 0 ]; then
  # The logs above can be long and a CI page may show only the end: say
  # again what failed, each with the last of what it printed.
  for preset in "${failed[@]}"; do
    echo "==== failed in $preset ===="
    awk '
      /^ *[0-9]+\/[0-9]+ Test +#[0-9]+: / { keep = ($0 ~ /\*\*\*(Failed|Timeout|Exception)|Not Run/) }
      /^ +Start +[0-9]+: / { keep = 0 }
      /^The following tests FAILED:/ { keep = 1 }
      keep' "$logs/$preset.log" | tail -n 80
  done
  echo "test.sh: tests failed in ${failed[*]} ($SECONDS s)" >&2
  exit 1
fi
echo "test.sh: every test of ${presets[*]} passed in $SECONDS s"
