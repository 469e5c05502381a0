#!/bin/sh
# Streaming benchmark: a 200-page 4x6 inch label job at 203, 300 and 600 dpi
# through the filter, sending pages while Ghostscript renders (streamed) and
# rendering everything first (VORMEL_SEQUENTIAL=1), side by side in one run,
# with the same Ghostscript command alone as the yardstick. Per resolution,
# best of BENCH_RUNS runs:
#   gs_s       Ghostscript alone on the job
#   seq_s      the filter, render first, coding on one thread (the order of
#              work before streaming); coding_s = seq_s - gs_s
#   stream_s   the filter, streamed, as it runs by default (on two cores one
#              band-coding helper, held back while gs needs its core);
#              overlap = stream_s / max(gs_s, coding_s) (target <= 1.10)
#   seqmt_s    render first with one band-coding helper thread, and
#   strmt_s    streamed with one helper thread never held back: what a
#              helper gives here
#   1st_*      time to the first byte of page 1 on standard output (target
#              for the streamed filter: gs's time for a one-page job + 50 ms)
#   peak_*     the most page images standing in the work directory at once,
#              in MiB and in files (target: at most 3 pages' worth)
# and whether all four runs wrote the same bytes.
# Build first, from the root, with the benchmarks on (-DVORMEL_BENCH=ON, off
# by default): cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DVORMEL_BENCH=ON
# && cmake --build build
#
#   bench/streaming_bench.sh [path/to/vormel [path/to/stream_probe]]
#   BENCH_PAGES=200  BENCH_DPIS="203 300 600"  BENCH_RUNS=3  BENCH_DIR=/tmp
#
# Every file lives in a fresh directory under BENCH_DIR and is removed on exit.
set -eu

here=$(cd "$(dirname "$0")/.." && pwd)
vormel=${1:-$here/build/src/vormel}
probe=${2:-$(dirname "$vormel")/../bench/stream_probe}
pages=${BENCH_PAGES:-200}
dpis=${BENCH_DPIS:-203 300 600}
runs=${BENCH_RUNS:-3}
[ -x "$vormel" ] || { echo "streaming_bench: no program at $vormel (build it first)" >&2; exit 2; }
[ -x "$probe" ] || { echo "streaming_bench: no stream_probe at $probe (build it first)" >&2; exit 2; }
command -v gs > /dev/null || { echo "streaming_bench: gs is missing" >&2; exit 2; }

work=$(mktemp -d "${BENCH_DIR:-/tmp}/vormel-sbench.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM
mkdir "$work/tmp" "$work/cap" "$work/ref"

# labelJob DPI PAGES (a label job of PAGES pages) and now (wall clock).
. "$here/bench/label_job.sh"

# Ghostscript alone, the filter's command on the same text (the capture file
# is the job behind a two-line comment header); prints its wall time.
timeGs() {
  rm -f "$work/ref/"*
  t0=$(now)
  gs -q -sDEVICE=pcxmono -dNOPAUSE -dBATCH -dEPSCrop -r"$1" \
    -sOutputFile="$work/ref/p_%d" -c "<< /Orientation 0 >> setpagedevice" \
    -f"$work/capture.ps" 2> /dev/null
  t1=$(now)
  echo "$t0 $t1" | awk '{ printf "%.3f\n", $2 - $1 }'
}

prepare() {
  labelJob "$1" "$2" > "$work/job.ps"
  { printf '%% \n%%  %s -dir %s' "$vormel" "$work/cap"; cat "$work/job.ps"; } > "$work/capture.ps"
}

# One filter run through the probe: first_byte page1 total peak_bytes peak_files exit
probeFilter() {
  rm -f "$work/tmp/"*
  env TMPDIR="$work/tmp" "$@" "$probe" "$work/tmp" "$work/out.prn" \
    "$vormel" -dir "$work/cap" < "$work/job.ps"
}

# One-page job: what the streamed filter's first page is measured against
# (best of three).
prepare 300 1
gsOne=$( { timeGs 300; timeGs 300; timeGs 300; } | sort -n | head -1)

echo "streaming_bench: $pages-page 4x6 inch label job, best of $runs runs; gs alone on a one-page job at 300 dpi: ${gsOne} s"
printf '%4s %6s %6s %8s %8s %7s %7s %7s %7s %8s %11s %11s %5s\n' \
  dpi gs_s seq_s coding_s stream_s overlap seqmt_s strmt_s 1st_seq 1st_strm peak_seq peak_strm same
for dpi in $dpis; do
  prepare "$dpi" "$pages"
  : > "$work/runs"
  same=yes
  run=0
  while [ "$run" -lt "$runs" ]; do
    run=$((run + 1))
    tGs=$(timeGs "$dpi")
    seq=$(probeFilter VORMEL_SEQUENTIAL=1 VORMEL_CODER_THREADS=0)
    cp "$work/out.prn" "$work/seq.prn"
    seqMt=$(probeFilter VORMEL_SEQUENTIAL=1 VORMEL_CODER_THREADS=1)
    cmp -s "$work/out.prn" "$work/seq.prn" || same=no
    str=$(probeFilter)
    cmp -s "$work/out.prn" "$work/seq.prn" || same=no
    strMt=$(probeFilter VORMEL_CODER_THREADS=1)
    cmp -s "$work/out.prn" "$work/seq.prn" || same=no
    echo "$tGs $seq $seqMt $str $strMt" >> "$work/runs"
  done
  pageBytes=$(cat "$work/ref/"* | wc -c)
  # Fields per run: gs, then four probe lines of six fields each
  # (first_byte page1 total peak_bytes peak_files exit).
  awk -v dpi="$dpi" -v avg="$(echo "$pageBytes $pages" | awk '{ print $1 / $2 }')" -v same="$same" '
    function low(v, k) { if (!(k in best) || v < best[k]) best[k] = v }
    function high(v, k) { if (!(k in best) || v > best[k]) best[k] = v }
    {
      low($1, "gs"); low($4, "seq"); low($2, "seq1st"); high($5, "seqPeak"); high($6, "seqFiles")
      low($10, "seqMt"); low($16, "str"); low($14, "str1st"); high($17, "strPeak"); high($18, "strFiles")
      low($22, "strMt")
    }
    END {
      coding = best["seq"] - best["gs"]; if (coding < 0) coding = 0
      m = best["gs"] > coding ? best["gs"] : coding
      printf "%4d %6.2f %6.2f %8.2f %8.2f %7.2f %7.2f %7.2f %7.3f %8.3f %5.1fM/%-4d %5.1fM/%-4d %5s\n",
        dpi, best["gs"], best["seq"], coding, best["str"], best["str"] / m, best["seqMt"], best["strMt"],
        best["seq1st"], best["str1st"], best["seqPeak"] / 1048576, best["seqFiles"],
        best["strPeak"] / 1048576, best["strFiles"], same
      printf "     page image %.1f KiB; peak page images in pages worth: render first %.1f, streamed %.1f\n",
        avg / 1024, best["seqPeak"] / avg, best["strPeak"] / avg
    }' "$work/runs"
done
echo "targets: overlap <= 1.10; streamed 1st <= ${gsOne} + 0.050 s (at 300 dpi); streamed peak <= 3 pages"
