#!/bin/sh
# Streaming benchmark: a 200-page 4x6 inch label job at 203, 300 and 600 dpi
# through the filter, sending pages while Ghostscript renders (streamed) and
# rendering everything first (VORMEL_SEQUENTIAL=1), side by side in one run,
# with the same Ghostscript command alone as the yardstick. Per resolution:
#   gs_s       Ghostscript alone on the job
#   seq_s      the filter, render first; coding_s = seq_s - gs_s
#   stream_s   the filter, streamed; overlap = stream_s / max(gs_s, coding_s)
#              (target <= 1.10)
#   1st_*      time to the first byte of page 1 on standard output (target
#              for the streamed filter: gs's time for a one-page job + 50 ms)
#   peak_*     the most page images standing in the work directory at once,
#              in MiB and in files (target: at most 3 pages' worth)
# and whether both orders wrote the same bytes.
#
#   bench/streaming_bench.sh [path/to/vormel [path/to/stream_probe]]
#   BENCH_PAGES=200  BENCH_DPIS="203 300 600"  BENCH_DIR=/tmp
#
# Every file lives in a fresh directory under BENCH_DIR and is removed on exit.
set -eu

here=$(cd "$(dirname "$0")/.." && pwd)
vormel=${1:-$here/build/src/vormel}
probe=${2:-$(dirname "$vormel")/../bench/stream_probe}
pages=${BENCH_PAGES:-200}
dpis=${BENCH_DPIS:-203 300 600}
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

echo "streaming_bench: $pages-page 4x6 inch label job; gs alone on a one-page job at 300 dpi: ${gsOne} s"
printf '%4s %7s %7s %8s %8s %7s %8s %9s %11s %11s %8s %5s\n' \
  dpi gs_s seq_s coding_s stream_s overlap 1st_seq 1st_strm peak_seq peak_strm page_KiB same
for dpi in $dpis; do
  prepare "$dpi" "$pages"
  tGs=$(timeGs "$dpi")
  pageBytes=$(cat "$work/ref/"* | wc -c)
  seq=$(probeFilter VORMEL_SEQUENTIAL=1)
  cp "$work/out.prn" "$work/seq.prn"
  str=$(probeFilter)
  same=no
  cmp -s "$work/out.prn" "$work/seq.prn" && same=yes
  echo "$dpi $tGs $pageBytes $pages $seq $str $same" | awk '{
    dpi = $1; gs = $2; avg = $3 / $4
    seqFirst = $6; seqTotal = $7; seqPeak = $8; seqFiles = $9
    strFirst = $12; strTotal = $13; strPeak = $14; strFiles = $15
    coding = seqTotal - gs; if (coding < 0) coding = 0
    m = gs > coding ? gs : coding
    printf "%4d %7.2f %7.2f %8.2f %8.2f %7.2f %8.3f %9.3f %5.1fM/%-4d %5.1fM/%-4d %8.1f %5s\n",
      dpi, gs, seqTotal, coding, strTotal, strTotal / m, seqFirst, strFirst,
      seqPeak / 1048576, seqFiles, strPeak / 1048576, strFiles, avg / 1024, $17
  }'
  echo "$seq $str" | awk -v avg="$(echo "$pageBytes $pages" | awk '{ print $1 / $2 }')" \
    '{ printf "     peak page images in pages worth: render first %.1f, streamed %.1f\n", $4 / avg, $10 / avg }'
done
echo "targets: overlap <= 1.10; streamed 1st <= ${gsOne} + 0.050 s (at 300 dpi); streamed peak <= 3 pages"
