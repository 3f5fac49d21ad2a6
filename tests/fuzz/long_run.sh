#!/usr/bin/env bash
# Starts a long fuzz run of the poll in the background and returns at once.
# It fuzzes a copy of the seed corpus with a frozen copy of the fuzzer, keeps
# going past failures (each failing input is saved), and logs to
# OUTDIR/fuzz.log. Figures at any time, while it runs or after:
#   tests/fuzz/fuzz_figures.sh OUTDIR/fuzz.log OUTDIR/poll_fuzz OUTDIR/artifacts
#   long_run.sh [HOURS] [OUTDIR] [FUZZER]
# Defaults: 6 hours, build/fuzz-long, build/linux-fuzz/poll_fuzz (build the
# linux-fuzz preset first). Stop it early with: kill -- -$(cat OUTDIR/pid)
set -euo pipefail

if [ "${1:-}" = --run ]; then
  # The detached part: one libFuzzer job at a time, at the lowest priority.
  outdir=$2 seconds=$3
  cd "$outdir"
  # libFuzzer's fork mode keeps its jobs' files under TMPDIR: keep them here,
  # away from anything that tidies /tmp during a run of hours.
  mkdir -p "$outdir/tmp"
  status=0
  TMPDIR=$outdir/tmp ASAN_OPTIONS=halt_on_error=1:detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    nice -n 19 ./poll_fuzz -fork=1 -ignore_crashes=1 -ignore_timeouts=1 -ignore_ooms=1 \
      -max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 -max_len=1024 \
      -artifact_prefix="$outdir/artifacts/" "$outdir/corpus" || status=$?
  echo "finished $(date -u +%FT%TZ), exit status $status"
  exit 0
fi

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
hours=${1:-6}
outdir=${2:-$root/build/fuzz-long}
fuzzer=${3:-$root/build/linux-fuzz/poll_fuzz}

mkdir -p "$outdir"
outdir=$(cd "$outdir" && pwd)
if [ -f "$outdir/pid" ] && kill -0 "$(cat "$outdir/pid")" 2>/dev/null; then
  echo "a run is already going in $outdir (pid $(cat "$outdir/pid"))" >&2
  exit 1
fi
rm -rf "$outdir/corpus" "$outdir/artifacts" "$outdir/tmp"
mkdir -p "$outdir/corpus" "$outdir/artifacts"
cp "$here"/corpus/* "$outdir/corpus/"
cp "$fuzzer" "$outdir/poll_fuzz"

echo "started $(date -u +%FT%TZ) for $hours h: $outdir/poll_fuzz, sources at git $(git -C "$root" rev-parse --short HEAD)" \
  >"$outdir/fuzz.log"
nohup setsid "$0" --run "$outdir" $((hours * 3600)) >>"$outdir/fuzz.log" 2>&1 </dev/null &
echo $! >"$outdir/pid"
echo "long fuzz run started (pid $!, $hours h), log: $outdir/fuzz.log"
