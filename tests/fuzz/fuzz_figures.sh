#!/usr/bin/env bash
# Prints the figures of a fuzz run from its log: inputs executed, crashes and
# disagreements. Each input libFuzzer saved as failing (in ARTIFACT_DIR) is
# replayed to tell a disagreement with the reference model (or more reads than
# the model allows) from a crash of another kind. Exits 1 if there was either.
#   fuzz_figures.sh LOG FUZZER ARTIFACT_DIR
set -uo pipefail
log=$1 fuzzer=$2 artifacts=$3

runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
if [ -z "$runs" ]; then
  # Still running, stopped early, or run with -fork: the last status line.
  runs=$(grep -oE '^#[0-9]+' "$log" | tail -1 | tr -d '#')
fi
seconds=$(grep -oE 'time: [0-9]+s' "$log" | tail -1 | grep -oE '[0-9]+')
[ -n "$seconds" ] || seconds=$(grep -oE '^Done [0-9]+ runs in [0-9]+' "$log" | awk '{print $5}' | tail -1)

disagreements=0 crashes=0
shopt -s nullglob
for input in "$artifacts"/crash-* "$artifacts"/timeout-* "$artifacts"/oom-* "$artifacts"/leak-*; do
  case $(basename "$input") in
    crash-*)
      replay=$("$fuzzer" "$input" 2>&1)
      if grep -qE '^DISAGREEMENT|^virtual port:' <<<"$replay"; then
        disagreements=$((disagreements + 1))
        echo "disagreement: $input"
      else
        crashes=$((crashes + 1))
        echo "crash: $input"
      fi ;;
    *) crashes=$((crashes + 1)); echo "crash: $input" ;;
  esac
done

echo "fuzz figures: ${runs:-0} inputs executed${seconds:+ in $seconds s}, $crashes crashes, $disagreements disagreements"
[ $crashes -eq 0 ] && [ $disagreements -eq 0 ]
