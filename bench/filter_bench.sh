#!/bin/sh
# Filter benchmark: a 20-page 4x6 inch label job at 203, 300 and 600 dpi,
# timed through the whole filter and through the same Ghostscript command
# alone, side by side in one run; prints both wall times and their ratio
# (target <= 1.5). Then a 1000-page job at 203 dpi through the filter, with
# the peak RSS of the filter process itself, Ghostscript excluded (target
# < 32 MiB), sampled from /proc while it runs.
# Build first, from the root, with the benchmarks on (-DVORMEL_BENCH=ON, off
# by default): cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DVORMEL_BENCH=ON
# && cmake --build build
#
#   bench/filter_bench.sh [path/to/vormel]
#   BENCH_RUNS=3 (best of n)  BENCH_PAGES=20  BENCH_BIG_PAGES=1000  BENCH_DIR=/tmp
#
# Every file lives in a fresh directory under BENCH_DIR and is removed on exit.
set -eu

here=$(cd "$(dirname "$0")/.." && pwd)
vormel=${1:-$here/build/src/vormel}
runs=${BENCH_RUNS:-3}
pages=${BENCH_PAGES:-20}
bigPages=${BENCH_BIG_PAGES:-1000}
[ -x "$vormel" ] || { echo "filter_bench: no program at $vormel (build it first)" >&2; exit 2; }
command -v gs > /dev/null || { echo "filter_bench: gs is missing" >&2; exit 2; }

work=$(mktemp -d "${BENCH_DIR:-/tmp}/vormel-fbench.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM
mkdir "$work/tmp" "$work/cap" "$work/ref"

# labelJob DPI PAGES (a label job of PAGES pages) and now (wall clock).
. "$here/bench/label_job.sh"

# Best wall time of $runs runs of a command (arguments as given).
bestOf() {
  best=""
  i=0
  while [ "$i" -lt "$runs" ]; do
    t0=$(now)
    "$@"
    t1=$(now)
    best=$(echo "$t0 $t1 ${best:-}" | awk '{ d = $2 - $1; if ($3 == "" || d < $3) print d; else print $3 }')
    i=$((i + 1))
  done
  echo "$best"
}

runFilter() {
  TMPDIR="$work/tmp" "$vormel" -dir "$work/cap" < "$work/job.ps" > "$work/job.prn"
}

# The same command the filter gives gs, on the same text (the filter's capture
# file is the job behind a two-line comment header).
runGs() {
  rm -f "$work/ref/"*
  gs -q -sDEVICE=pcxmono -dNOPAUSE -dBATCH -dEPSCrop -r"$dpi" \
    -sOutputFile="$work/ref/p_%d" -c "<< /Orientation 0 >> setpagedevice" \
    -f"$work/capture.ps" 2> /dev/null
}

echo "filter_bench: $pages-page 4x6 inch label job, best of $runs runs"
printf '%5s %10s %10s %7s %12s %12s\n' dpi filter_s gs_s ratio pcx_bytes stream_bytes
for dpi in 203 300 600; do
  labelJob "$dpi" "$pages" > "$work/job.ps"
  { printf '%% \n%%  %s -dir %s' "$vormel" "$work/cap"; cat "$work/job.ps"; } > "$work/capture.ps"
  tFilter=$(bestOf runFilter)
  tGs=$(bestOf runGs)
  pcxBytes=$(cat "$work/ref/"* | wc -c)
  streamBytes=$(wc -c < "$work/job.prn")
  echo "$dpi $tFilter $tGs $pcxBytes $streamBytes" |
    awk '{ printf "%5d %10.3f %10.3f %7.2f %12d %12d\n", $1, $2, $3, $2 / $3, $4, $5 }'
done

# Peak RSS of the filter alone: VmHWM of its own process, read until it exits
# (gs runs as a separate process with its own memory).
labelJob 203 "$bigPages" > "$work/job.ps"
TMPDIR="$work/tmp" "$vormel" -dir "$work/cap" < "$work/job.ps" > /dev/null &
pid=$!
peak=0
while kill -0 "$pid" 2> /dev/null; do
  hwm=$(awk '/^VmHWM:/ { print $2 }' "/proc/$pid/status" 2> /dev/null || true)
  [ -n "$hwm" ] && [ "$hwm" -gt "$peak" ] && peak=$hwm
  sleep 0.02
done
wait "$pid" || echo "filter_bench: the $bigPages-page job failed" >&2
echo "filter_bench: $bigPages-page job at 203 dpi: filter peak RSS $((peak / 1024)) MiB ($peak KiB), target < 32 MiB"
