#!/usr/bin/env bash
# Fuzzes the poll for a bounded time, starting from a copy of the seed corpus
# so the repository is left as it was, and prints the figures. Fails on any
# crash or disagreement; the log and the inputs that failed are kept in OUTDIR.
#   run_fuzz.sh FUZZER CORPUS SECONDS OUTDIR [LIBFUZZER_OPTION...]
set -uo pipefail
fuzzer=$1 corpus=$2 seconds=$3 outdir=$4
shift 4

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp -r "$corpus"/. "$work"/
mkdir -p "$outdir"
rm -f "$outdir"/crash-* "$outdir"/timeout-* "$outdir"/oom-* "$outdir"/leak-*
log=$outdir/fuzz.log

"$fuzzer" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 -max_len=1024 -print_final_stats=1 \
  -artifact_prefix="$outdir"/ "$@" "$work" >"$log" 2>&1
status=$?

"$(dirname "$0")"/fuzz_figures.sh "$log" "$fuzzer" "$outdir"
figures=$?
[ $status -eq 0 ] && [ $figures -eq 0 ] || { echo "log: $log"; tail -40 "$log"; exit 1; }
