# Shell functions shared by the benchmark scripts; sourced, not run.
#
# Build first, from the root, with the benchmarks on (-DVORMEL_BENCH=ON, off
# by default): cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DVORMEL_BENCH=ON
# && cmake --build build

# A label job of $2 pages at $1 dpi: text, a frame and bars that change with
# every page, as a shipping label does.
labelJob() {
  awk -v dpi="$1" -v n="$2" 'BEGIN {
    print "%!PS-Adobe-3.0"
    print "%%BoundingBox: 0 0 288 432"
    printf "%%%%Pages: %d\n%%%%EndComments\n", n
    printf "<< /HWResolution [%d %d] /PageSize [288 432] >> setpagedevice\n", dpi, dpi
    for (p = 1; p <= n; p++) {
      printf "%%%%Page: %d %d\n", p, p
      print "/Helvetica-Bold findfont 26 scalefont setfont"
      printf "20 385 moveto (ORDER %06d) show\n", p * 7919 % 1000000
      print "/Helvetica findfont 11 scalefont setfont"
      for (l = 0; l < 6; l++)
        printf "20 %d moveto (Line %d: Warehouse %d, Dock %c, Box %d of %d) show\n", 360 - l * 14, l + 1, p % 17, 65 + (p + l) % 26, p, n
      print "3 setlinewidth 8 8 272 416 rectstroke"
      printf "0 1 59 { dup 4 mul 24 add 30 moveto %d add 3 mod 1 add setlinewidth 0 150 rlineto stroke } for\n", p
      printf "newpath 200 250 %d 0 360 arc fill\n", 10 + p % 30
      print "showpage"
    }
    print "%%EOF"
  }'
}

now() { date +%s.%N; }
