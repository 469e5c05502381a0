// Band throughput benchmark: compresses bands cut from real Ghostscript
// renderings of label pages (203, 300 and 600 dpi) and synthetic bands with
// the band coder and with zlib level 6, one thread, and prints MB/s of input
// for both, their speed ratio and the compressed sizes (as sent: a band that
// does not shrink counts with its own length). Speeds are taken from the
// process's CPU time of the fastest of repeated passes, so other load on the
// machine distorts them little.
// Usage: band_throughput [CPU seconds per measurement, default 0.5]
#include <zlib.h>

#include <ctime>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "compressor/band_compressor.h"

namespace {

constexpr int kBandSize = 32768;
using Band = std::vector<unsigned char>;

struct Corpus {
  std::string name;
  std::vector<Band> bands;
};

bool readFile(const std::string& path, Band* out) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  out->clear();
  unsigned char buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out->insert(out->end(), buf, buf + n);
  std::fclose(f);
  return true;
}

void cutBands(const Band& image, std::vector<Band>* bands) {
  for (size_t at = 0; at < image.size(); at += kBandSize) {
    const size_t n = image.size() - at < kBandSize ? image.size() - at : kBandSize;
    bands->emplace_back(image.begin() + static_cast<std::ptrdiff_t>(at),
                        image.begin() + static_cast<std::ptrdiff_t>(at + n));
  }
}

// Renders every page of the sample labels at `dpi` and cuts each page image
// into bands as the page transfer does.
bool renderedCorpus(const std::string& dir, int dpi, Corpus* corpus) {
  const std::string base = dir + "/page" + std::to_string(dpi);
  const std::string cmd = "gs -q -sDEVICE=pcxmono -r" + std::to_string(dpi) +
                          " -dNOPAUSE -dBATCH -dSAFER -sOutputFile=" + base + "_%d.pcx " VORMEL_BENCH_LABELS
                          "/shipping_label.ps";
  if (std::system(cmd.c_str()) != 0) return false;
  corpus->name = "labels " + std::to_string(dpi) + " dpi";
  Band image;
  for (int page = 1; readFile(base + "_" + std::to_string(page) + ".pcx", &image); page++) {
    cutBands(image, &corpus->bands);
    std::remove((base + "_" + std::to_string(page) + ".pcx").c_str());
  }
  return !corpus->bands.empty();
}

Corpus syntheticCorpus(const std::string& name, int bands, unsigned char (*byteAt)(size_t i, uint32_t* state)) {
  Corpus c{name, {}};
  uint32_t state = 12345;
  for (int b = 0; b < bands; b++) {
    Band band(kBandSize);
    for (size_t i = 0; i < band.size(); i++) band[i] = byteAt(static_cast<size_t>(b) * kBandSize + i, &state);
    c.bands.push_back(band);
  }
  return c;
}

uint32_t nextRandom(uint32_t* s) {
  *s ^= *s << 13;
  *s ^= *s >> 17;
  *s ^= *s << 5;
  return *s;
}

unsigned char textByte(size_t, uint32_t* s) {
  static const char* const words[] = {"ship ", "to ", "order ", "No. ", "weight ", "kg ", "the ", "label ",
                                      "printer ", "of ", "ACME ", "1200 ", "Road ", "parcel ", "express\r\n", "42 "};
  static std::string pending;
  if (pending.empty()) pending = words[nextRandom(s) % 16];
  const unsigned char c = static_cast<unsigned char>(pending[0]);
  pending.erase(0, 1);
  return c;
}

double cpuSeconds() {
  timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// Runs `code` over all bands, pass after pass, until `minSeconds` have
// passed; returns MB/s of input (10^6 bytes) of the fastest pass, which
// other load on a shared machine disturbs least, and the output size of one
// pass.
template <typename Code>
double measure(const Corpus& c, double minSeconds, Code code, size_t* outBytes) {
  size_t inBytes = 0;
  for (const Band& b : c.bands) inBytes += b.size();
  const double start = cpuSeconds();
  double fastest = 0;
  double now = start;
  do {
    const double passStart = now;
    size_t out = 0;
    for (const Band& b : c.bands) out += code(b);
    *outBytes = out;
    now = cpuSeconds();
    if (fastest == 0 || now - passStart < fastest) fastest = now - passStart;
  } while (now - start < minSeconds);
  return static_cast<double>(inBytes) / fastest / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
  const double minSeconds = argc > 1 ? std::atof(argv[1]) : 0.5;
  char dirTemplate[] = "/tmp/band_bench_XXXXXX";
  const char* dir = mkdtemp(dirTemplate);
  if (dir == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }

  std::vector<Corpus> corpora;
  for (const int dpi : {203, 300, 600}) {
    Corpus c;
    if (renderedCorpus(dir, dpi, &c)) {
      corpora.push_back(c);
    } else {
      std::fprintf(stderr, "band_throughput: rendering at %d dpi failed; is gs on the PATH?\n", dpi);
    }
  }
  rmdir(dir);
  corpora.push_back(syntheticCorpus("zeros", 8, [](size_t, uint32_t*) -> unsigned char { return 0; }));
  corpora.push_back(syntheticCorpus("random", 8, [](size_t, uint32_t* s) -> unsigned char {
    return static_cast<unsigned char>(nextRandom(s) >> 24);
  }));
  corpora.push_back(syntheticCorpus("text", 8, textByte));

  std::printf("%-16s %6s %9s | %10s %10s %6s | %8s %8s\n", "corpus", "bands", "bytes", "ours MB/s", "zlib6 MB/s",
              "ratio", "ours %", "zlib6 %");
  Band dst(65536);
  Band zdst(compressBound(kBandSize));
  for (const Corpus& c : corpora) {
    size_t inBytes = 0;
    for (const Band& b : c.bands) inBytes += b.size();
    size_t ours = 0, theirs = 0;
    const double oursSpeed = measure(c, minSeconds, [&](const Band& b) -> size_t {
      Band src = b;
      const int r = Encode(static_cast<int>(src.size()), src.data(), 65536, dst.data());
      // As sent: compressed only when it is shorter.
      return (r >= 0 && r < static_cast<int>(b.size())) ? static_cast<size_t>(r) : b.size();
    }, &ours);
    const double zlibSpeed = measure(c, minSeconds, [&](const Band& b) -> size_t {
      uLongf n = static_cast<uLongf>(zdst.size());
      compress2(zdst.data(), &n, b.data(), static_cast<uLong>(b.size()), 6);
      return static_cast<size_t>(n);
    }, &theirs);
    std::printf("%-16s %6zu %9zu | %10.1f %10.1f %6.2f | %7.1f%% %7.1f%%\n", c.name.c_str(), c.bands.size(), inBytes,
                oursSpeed, zlibSpeed, oursSpeed / zlibSpeed, 100.0 * ours / inBytes, 100.0 * theirs / inBytes);
  }
  return 0;
}
