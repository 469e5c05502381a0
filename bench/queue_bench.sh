#!/bin/sh
# Print queue benchmark: the CPU time (user + system, of the whole chain of
# processes) that the spooler's filters spend on a PDF job for a 4x6 inch
# label at 203 dpi, through vormel's queue and through the spooler's sample
# ZPL label driver, side by side in one run with cupsfilter. Two jobs: 20
# vector labels (text, frame, bars), and 20 labels each holding a photo-like
# grey image. Target: vormel's chain at most 1.25 times the ZPL chain's CPU
# for the vector job. For the image job the CPU is also split into the
# pieces of each chain, each run on its own:
#   vormel:  PDF filter | vormel-cups, vormel, gs | gs alone | band coding
#   ZPL:     PDF filter | PDF filter + gs to raster | raster to ZPL
# Band coding (with the front end's relay) is the chain's vormel-cups run
# less the same gs command run alone. A third column gives the chain a PDF
# took before the front end took PDF (through pdftops and PostScript).
# Build first, from the root, with the benchmarks on (-DVORMEL_BENCH=ON, off
# by default): cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DVORMEL_BENCH=ON
# && cmake --build build
#
#   bench/queue_bench.sh [build-dir]        (default: build-rel, else build)
#   BENCH_RUNS=3 (least of n figures)  BENCH_REPEAT=5 (runs averaged in a figure)
#   BENCH_LABELS=20  BENCH_DIR=/tmp
#
# Needs cupsfilter (cups), the spooler's PDF filters (cups-filters),
# Ghostscript and ppdc (cups-ppdc). CPU times come from the shell's `times`
# for the children of a subshell, which covers every process of the chain
# that was waited for (cupsfilter waits for its filters, they for theirs).
# Run as root: cupsfilter runs only filters owned by root. Every file lives in
# a fresh directory under BENCH_DIR and is removed on exit.
set -eu

here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-}
if [ -z "$build" ]; then
  build=$here/build-rel
  [ -d "$build" ] || build=$here/build
fi
runs=${BENCH_RUNS:-3}
repeat=${BENCH_REPEAT:-5}
labels=${BENCH_LABELS:-20}
dpi=203
front=$build/tools/cups/vormel-cups
vormel=$build/src/vormel
ppd=$build/tools/cups/vormel-${dpi}dpi.ppd
for f in "$front" "$vormel" "$ppd"; do
  [ -e "$f" ] || { echo "queue_bench: $f is missing (build first)" >&2; exit 2; }
done
for p in cupsfilter gs ppdc; do
  command -v "$p" > /dev/null || { echo "queue_bench: $p is missing" >&2; exit 2; }
done
[ "$(id -u)" -eq 0 ] || { echo "queue_bench: run as root (cupsfilter runs root-owned filters only)" >&2; exit 2; }
serverbin=$(cups-config --serverbin 2> /dev/null || echo /usr/lib/cups)
datadir=$(cups-config --datadir 2> /dev/null || echo /usr/share/cups)

work=$(mktemp -d "${BENCH_DIR:-/tmp}/vormel-qbench.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM
chmod 755 "$work"

# A ServerBin of our own: the system's filters by link, the front end with
# vormel beside it (it looks for vormel there), so nothing is installed.
mkdir -p "$work/sb/filter" "$work/tmp" "$work/ppd"
for f in "$serverbin"/filter/*; do ln -s "$f" "$work/sb/filter/"; done
cp "$front" "$vormel" "$work/sb/filter/"
printf 'ServerBin %s\nDataDir %s\nTempDir %s\n' "$work/sb" "$datadir" "$work/tmp" > "$work/cups-files.conf"

# The ZPL driver's printer description, compiled from the spooler's sample drivers.
ppdc -d "$work/ppd" "$datadir/drv/sample.drv" > /dev/null 2>&1
zebra=$work/ppd/zebra.ppd
[ -f "$zebra" ] || { echo "queue_bench: ppdc made no zebra.ppd from $datadir/drv/sample.drv" >&2; exit 2; }
# The chain a PDF took before: PostScript only.
grep -v 'application/vnd.cups-pdf' "$ppd" > "$work/ppd/vormel-ps-only.ppd"

. "$here/bench/label_job.sh"

# photoLabelJob PAGES: labels with a heading, a frame and a 500 x 400 grey
# image (smooth shading with grain, different on every page), 2.5 x 2 in.
photoLabelJob() {
  awk -v n="$1" 'BEGIN {
    srand(7)
    print "%!PS-Adobe-3.0"
    print "%%BoundingBox: 0 0 288 432"
    printf "%%%%Pages: %d\n%%%%EndComments\n", n
    print "<< /PageSize [288 432] >> setpagedevice"
    for (p = 1; p <= n; p++) {
      printf "%%%%Page: %d %d\n", p, p
      print "/Helvetica-Bold findfont 24 scalefont setfont"
      printf "20 390 moveto (PHOTO %04d) show\n", p
      print "3 setlinewidth 8 8 272 416 rectstroke"
      print "gsave 54 200 translate 180 144 scale"
      print "<< /ImageType 1 /Width 500 /Height 400 /BitsPerComponent 8 /Decode [0 1]"
      print "   /ImageMatrix [500 0 0 -400 0 400] /DataSource currentfile /ASCIIHexDecode filter >>"
      print "/DeviceGray setcolorspace image"
      for (y = 0; y < 400; y++) {
        line = ""
        for (x = 0; x < 500; x++) {
          v = 128 + 70 * sin(x / (23 + p) + y / 41) * cos(y / (19 + p % 7)) + 40 * (rand() - 0.5)
          if (v < 0) v = 0
          if (v > 255) v = 255
          line = line sprintf("%02x", int(v))
        }
        print line
      }
      print ">"
      print "grestore showpage"
    }
    print "%%EOF"
  }'
}

# CPU seconds (user + system) of "$@" and every process it waited for, per
# run, over $repeat runs in one subshell: a subshell starts with no
# children's time of its own, and the shell counts in hundredths.
cpuOf() {
  (k=0; while [ "$k" -lt "$repeat" ]; do "$@" > /dev/null 2>&1; k=$((k + 1)); done; times) |
    awk -v n="$repeat" 'NR == 2 {
      split($1, u, "m"); split($2, s, "m")
      printf "%.3f\n", (u[1] * 60 + u[2] + s[1] * 60 + s[2]) / n }'
}

# Least CPU of $runs runs of "$@".
leastCpu() {
  least=""
  i=0
  while [ "$i" -lt "$runs" ]; do
    c=$(cpuOf "$@")
    least=$(echo "$c ${least:-}" | awk '{ if ($2 == "" || $1 < $2) print $1; else print $2 }')
    i=$((i + 1))
  done
  echo "$least"
}

chain() {  # PPD FILE [extra cupsfilter options]: the whole chain to the printer
  p=$1 f=$2
  shift 2
  cupsfilter -c "$work/cups-files.conf" -e -P "$p" -m printer/foo -o PageSize=w288h432 "$@" "$f"
}
pdfFilter() {  # the spooler's PDF filter alone, for vormel's queue
  cupsfilter -c "$work/cups-files.conf" -e -P "$ppd" -m application/vnd.cups-pdf -o PageSize=w288h432 "$1"
}
zebraRaster() {  # the ZPL chain up to its raster (PDF filter and gs)
  cupsfilter -c "$work/cups-files.conf" -e -P "$zebra" -m application/vnd.cups-raster \
    -o PageSize=w288h432 -o Resolution=${dpi}dpi "$1"
}
zebraCoder() {  # raster to ZPL alone
  PPD=$zebra "$work/sb/filter/rastertolabel" 1 bench job 1 "PageSize=w288h432 Resolution=${dpi}dpi" "$1"
}
frontEnd() {  # vormel-cups, vormel and gs on the PDF filter's output
  PPD=$ppd TMPDIR=$work/tmp "$work/sb/filter/vormel-cups" 1 bench job 1 "PageSize=w288h432" "$1"
}
gsAlone() {  # the command vormel gives gs, on the same PDF
  rm -rf "$work/gs"
  mkdir "$work/gs"
  gs -q -dSAFER -sBandListStorage=memory -sDEVICE=pcxmono -dNOPAUSE -dBATCH -dEPSCrop -r$dpi \
    -sOutputFile="$work/gs/p_%d" -c "<< /Orientation 0 >> setpagedevice" -f"$1"
}

labelJob "$dpi" "$labels" > "$work/vector.ps"
photoLabelJob "$labels" > "$work/image.ps"
for j in vector image; do
  gs -q -dSAFER -dNOPAUSE -dBATCH -sDEVICE=pdfwrite -sOutputFile="$work/$j.pdf" "$work/$j.ps"
  chmod 644 "$work/$j.pdf"
  pdfFilter "$work/$j.pdf" > "$work/$j.filtered.pdf" 2> /dev/null
  zebraRaster "$work/$j.pdf" > "$work/$j.ras" 2> /dev/null
done

# Each chain must print the labels; a chain that fails would time nothing.
for j in vector image; do
  chain "$ppd" "$work/$j.pdf" > "$work/$j.prn" 2> "$work/$j.log"
  grep -q "INFO: Sent $labels label(s) to the printer" "$work/$j.log" ||
    { echo "queue_bench: vormel's chain did not send $labels labels for $j.pdf" >&2; exit 1; }
  chain "$zebra" "$work/$j.pdf" -o Resolution=${dpi}dpi > "$work/$j.zpl" 2> /dev/null
  zpl=$(grep -a -o '\^XG' "$work/$j.zpl" | wc -l)
  [ "$zpl" -eq "$labels" ] || { echo "queue_bench: the ZPL chain sent $zpl of $labels labels for $j.pdf" >&2; exit 1; }
done

echo "queue_bench: $labels-label PDF jobs, 4x6 in at $dpi dpi, CPU seconds (user+sys) per job, least of $runs means of $repeat runs"
echo "chains (cupsfilter -e):  vormel $(chain "$ppd" "$work/vector.pdf" --list-filters 2> /dev/null | tr '\n' ' ')|" \
  "ZPL $(chain "$zebra" "$work/vector.pdf" --list-filters 2> /dev/null | tr '\n' ' ')|" \
  "before $(chain "$work/ppd/vormel-ps-only.ppd" "$work/vector.pdf" --list-filters 2> /dev/null | tr '\n' ' ')"
printf '%-10s %10s %10s %8s %10s\n' job vormel ZPL ratio before
for j in vector image; do
  ours=$(leastCpu chain "$ppd" "$work/$j.pdf")
  theirs=$(leastCpu chain "$zebra" "$work/$j.pdf" -o Resolution=${dpi}dpi)
  before=$(leastCpu chain "$work/ppd/vormel-ps-only.ppd" "$work/$j.pdf")
  printf '%-10s %10s %10s %8s %10s\n' "$j" "$ours" "$theirs" "$(echo "$ours $theirs" | awk '{ printf "%.2f", $1 / $2 }')" "$before"
done
echo "target: vector ratio <= 1.25"

echo
echo "where the CPU goes (image job; each piece run alone, same measure)"
filt=$(leastCpu pdfFilter "$work/image.pdf")
fe=$(leastCpu frontEnd "$work/image.filtered.pdf")
gsOnly=$(leastCpu gsAlone "$work/image.filtered.pdf")
zras=$(leastCpu zebraRaster "$work/image.pdf")
zcode=$(leastCpu zebraCoder "$work/image.ras")
printf '  vormel: PDF filter %s | vormel-cups+vormel+gs %s (gs alone %s, band coding and relay %s)\n' \
  "$filt" "$fe" "$gsOnly" "$(echo "$fe $gsOnly" | awk '{ printf "%.3f", $1 - $2 }')"
printf '  ZPL:    PDF filter %s | PDF filter+gs to raster %s (gs %s) | raster to ZPL %s\n' \
  "$filt" "$zras" "$(echo "$zras $filt" | awk '{ printf "%.3f", $1 - $2 }')" "$zcode"
printf '  sizes:  PDF %s bytes; vormel stream %s bytes; ZPL %s bytes\n' \
  "$(wc -c < "$work/image.pdf")" "$(wc -c < "$work/image.prn")" "$(wc -c < "$work/image.zpl")"
