#!/bin/sh
# Capture benchmark: copies a large generated PostScript job (1 GiB unless
# BENCH_MB says otherwise) through vormel, non-raw and raw, and compares the
# time with `cat job > file` on the same disk in the same run. Prints wall
# times, the non-raw/cat ratio (target <= 1.5) and peak RSS (target < 16 MiB).
# Build first, from the root, with the benchmarks on (-DVORMEL_BENCH=ON, off
# by default): cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DVORMEL_BENCH=ON
# && cmake --build build
#
#   bench/capture_bench.sh [path/to/vormel]
#   BENCH_MB=1024 BENCH_RUNS=2 BENCH_DIR=/tmp
#
# Every file lives in a fresh directory under BENCH_DIR and is removed on exit.
set -eu

here=$(cd "$(dirname "$0")/.." && pwd)
vormel=${1:-$here/build/src/vormel}
mb=${BENCH_MB:-1024}
runs=${BENCH_RUNS:-2}
[ -x "$vormel" ] || { echo "capture_bench: no program at $vormel (build it first)" >&2; exit 2; }
[ -x /usr/bin/time ] || { echo "capture_bench: /usr/bin/time is missing" >&2; exit 2; }

work=$(mktemp -d "${BENCH_DIR:-/tmp}/vormel-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM
mkdir "$work/nogs" "$work/out"   # nogs: a PATH without Ghostscript

# One block of about 1 MiB: a page of typical label PostScript, repeated.
awk 'BEGIN {
  print "%!PS-Adobe-3.0"
  print "%%BoundingBox: 0 0 288 432"
  print "<< /HWResolution [203 203] /PageSize [288 432] >> setpagedevice"
  for (i = 0; i < 15000; i++)
    printf "%d %d moveto (Order %06d - Box %d of 12) show %% line %d\n", 20 + i % 200, 380 - i % 300, i, i % 12, i
}' > "$work/block.ps"
: > "$work/job.ps"
blockBytes=$(wc -c < "$work/block.ps")
target=$((mb * 1024 * 1024))
size=0
while [ "$size" -lt "$target" ]; do
  cat "$work/block.ps" >> "$work/job.ps"
  size=$((size + blockBytes))
done
cat "$work/job.ps" > /dev/null   # into the page cache, for every contender alike
echo "capture_bench: job of $size bytes, best of $runs run(s)"

# measure NAME COMMAND...: runs the command with /usr/bin/time -v, standard
# input from the job, and keeps the best wall time and the largest RSS.
measure() {
  name=$1
  shift
  best=""
  rss=0
  i=0
  while [ "$i" -lt "$runs" ]; do
    rm -f "$work"/out/*
    sync
    # The exit status does not matter here: without gs the non-raw job ends
    # with an error after its capture, which is what is timed.
    /usr/bin/time -v -o "$work/time.txt" "$@" < "$work/job.ps" > "$work/out/stdout" 2> "$work/stderr.txt" || true
    wall=$(awk -F': ' '/Elapsed \(wall clock\)/ {
      n = split($2, p, ":"); s = 0; for (k = 1; k <= n; k++) s = s * 60 + p[k]; print s }' "$work/time.txt")
    kb=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$work/time.txt")
    if [ -z "$best" ] || awk "BEGIN {exit !($wall < $best)}"; then best=$wall; fi
    [ "$kb" -gt "$rss" ] && rss=$kb
    i=$((i + 1))
  done
  rm -f "$work"/out/*
  eval "time_$name=$best"
  eval "rss_$name=$rss"
  printf '%-8s %8.2f s  peak RSS %6d KiB\n' "$name" "$best" "$rss"
}

export TMPDIR="$work/out"
measure cat sh -c "cat > '$work/out/copy.ps'"
measure capture env PATH="$work/nogs" "$vormel" -dir "$work/out"
# The same with the capture file kept (debug mode): without its removal at
# the end of the job.
measure kept env PATH="$work/nogs" "$vormel" -debug -dir "$work/out"
measure raw env PATH="$work/nogs" "$vormel" -raw -dir "$work/out"

awk -v c="$time_cat" -v v="$time_capture" -v k="$time_kept" -v rc="$rss_capture" -v rr="$rss_raw" 'BEGIN {
  ratio = c > 0 ? v / c : 0
  printf "capture/cat time ratio %.2f (target <= 1.50): %s\n", ratio, ratio <= 1.5 ? "met" : "NOT met"
  kept = c > 0 ? k / c : 0
  printf "kept/cat time ratio %.2f (capture file not removed)\n", kept
  printf "peak RSS non-raw %.1f MiB, raw %.1f MiB (target < 16 MiB): %s\n", rc / 1024, rr / 1024,
         (rc < 16384 && rr < 16384) ? "met" : "NOT met"
}'
