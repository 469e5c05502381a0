// Band throughput benchmark: compresses bands cut from real Ghostscript
// renderings of label pages (203, 300 and 600 dpi) and synthetic bands.
// Prints, per corpus: MB/s of input for the band coder and for zlib level 6
// on one thread and their ratio, from the process's CPU time, which other
// load on a shared machine disturbs little; the compressed sizes (as sent:
// a band that does not shrink counts with its own length); and in wall-clock
// time the band coder on one thread and on each page's bands with all cores
// at once, one thread per core (the calling one included) taking the page's
// bands in turn, as the filter's band coding does, with the gain of the
// second over the first; beside it, the most that sharing out in page order
// can gain on those pages (pageOrderCeiling). Every figure is
// the fastest of repeated passes; read them side by side from one run. When
// other programs keep the cores busy, the wall-clock figures fall below the
// CPU-time ones and the gain says little.
// Usage: band_throughput [seconds per measurement, default 0.5]
//        band_throughput --once   one pass of the band coder over the
//                                 rendered bands only (for instruction counts)
#ifdef VORMEL_BENCH_ZLIB
#include <zlib.h>
#endif

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "compressor/band_compressor.h"

namespace {

constexpr int kBandSize = 32768;
using Band = std::vector<unsigned char>;

struct Corpus {
  std::string name;
  std::vector<Band> bands;
  std::vector<size_t> pageStarts;  // index of each page's first band; one page when empty
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
                          " -dNOPAUSE -dBATCH -dSAFER -sOutputFile=" + base +
                          "_%d.pcx " VORMEL_BENCH_LABELS "/shipping_label.ps";
  if (std::system(cmd.c_str()) != 0) return false;
  corpus->name = "labels " + std::to_string(dpi) + " dpi";
  Band image;
  for (int page = 1; readFile(base + "_" + std::to_string(page) + ".pcx", &image); page++) {
    corpus->pageStarts.push_back(corpus->bands.size());
    cutBands(image, &corpus->bands);
    std::remove((base + "_" + std::to_string(page) + ".pcx").c_str());
  }
  return !corpus->bands.empty();
}

Corpus syntheticCorpus(const std::string& name, int bands,
                       unsigned char (*byteAt)(size_t i, uint32_t* state)) {
  Corpus c{name, {}, {}};
  uint32_t state = 12345;
  for (int b = 0; b < bands; b++) {
    Band band(kBandSize);
    for (size_t i = 0; i < band.size(); i++)
      band[i] = byteAt(static_cast<size_t>(b) * kBandSize + i, &state);
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
  static const char* const words[] = {"ship ", "to ",     "order ",      "No. ", "weight ", "kg ",
                                      "the ",  "label ",  "printer ",    "of ",  "ACME ",   "1200 ",
                                      "Road ", "parcel ", "express\r\n", "42 "};
  static std::string pending;
  if (pending.empty()) pending = words[nextRandom(s) % 16];
  const unsigned char c = static_cast<unsigned char>(pending[0]);
  pending.erase(0, 1);
  return c;
}

double wallSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double cpuSeconds() {
  timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

size_t inputBytes(const Corpus& c) {
  size_t n = 0;
  for (const Band& b : c.bands) n += b.size();
  return n;
}

struct Speed {
  double cpu;   // MB/s of input in the process's CPU time
  double wall;  // MB/s of input in wall-clock time
};

// Runs `pass` (one pass over all bands, returning the output size) again and
// again until `minSeconds` of wall-clock time have passed; returns the MB/s
// of input (10^6 bytes) of the fastest pass by each clock, and the output
// size of one pass.
template <typename Pass>
Speed measure(const Corpus& c, double minSeconds, Pass pass, size_t* outBytes) {
  const double start = wallSeconds();
  double fastestWall = 0;
  double fastestCpu = 0;
  double now = start;
  double cpuNow = cpuSeconds();
  do {
    const double passStart = now;
    const double cpuStart = cpuNow;
    *outBytes = pass();
    now = wallSeconds();
    cpuNow = cpuSeconds();
    if (fastestWall == 0 || now - passStart < fastestWall) fastestWall = now - passStart;
    if (fastestCpu == 0 || cpuNow - cpuStart < fastestCpu) fastestCpu = cpuNow - cpuStart;
  } while (now - start < minSeconds);
  const double mb = static_cast<double>(inputBytes(c)) / 1e6;
  return {mb / fastestCpu, mb / fastestWall};
}

// The band coder on one band, as sent: compressed only when it is shorter.
size_t codeBand(const Band& b, Band* dst) {
  Band src = b;
  const int r =
      Encode(static_cast<int>(src.size()), src.data(), static_cast<int>(dst->size()), dst->data());
  return (r >= 0 && r < static_cast<int>(b.size())) ? static_cast<size_t>(r) : b.size();
}

size_t codeOneThread(const Corpus& c) {
  Band dst(65536);
  size_t out = 0;
  for (const Band& b : c.bands) out += codeBand(b, &dst);
  return out;
}

// Codes page after page the way the filter does: helper threads started once
// and kept, and the calling thread, each claim the page's next uncoded band
// in page order until none is left; the page is done when every band is
// coded, and only then is the next one begun.
class PageCoders {
 public:
  explicit PageCoders(unsigned threads) {
    for (unsigned t = 1; t < threads; t++) helpers_.emplace_back([this] { helperLoop(); });
  }
  ~PageCoders() {
    {
      std::lock_guard<std::mutex> held(lock_);
      quit_ = true;
    }
    workWaiting_.notify_all();
    for (std::thread& t : helpers_) t.join();
  }

  // Output size of all bands of `c`, as sent.
  size_t code(const Corpus& c) {
    std::vector<size_t> starts = c.pageStarts;
    if (starts.empty()) starts.push_back(0);
    starts.push_back(c.bands.size());
    std::vector<size_t> sizes(c.bands.size());
    std::unique_lock<std::mutex> held(lock_);
    bands_ = &c.bands;
    sizes_ = &sizes;
    for (size_t page = 0; page + 1 < starts.size(); page++) {
      next_ = starts[page];
      end_ = starts[page + 1];
      left_ = end_ - next_;
      workWaiting_.notify_all();
      while (next_ < end_) codeNext(held, &dst_);
      pageDone_.wait(held, [this] { return left_ == 0; });
    }
    bands_ = nullptr;
    sizes_ = nullptr;
    size_t out = 0;
    for (const size_t n : sizes) out += n;
    return out;
  }

 private:
  // Claims the next band, codes it outside the lock and records its size.
  void codeNext(std::unique_lock<std::mutex>& held, Band* dst) {
    const size_t band = next_++;
    held.unlock();
    const size_t n = codeBand((*bands_)[band], dst);
    held.lock();
    (*sizes_)[band] = n;
    if (--left_ == 0) pageDone_.notify_all();
  }

  void helperLoop() {
    Band dst(65536);
    std::unique_lock<std::mutex> held(lock_);
    for (;;) {
      workWaiting_.wait(held, [this] { return quit_ || next_ < end_; });
      if (quit_) return;
      codeNext(held, &dst);
    }
  }

  std::mutex lock_;
  std::condition_variable workWaiting_;
  std::condition_variable pageDone_;
  const std::vector<Band>* bands_ = nullptr;
  std::vector<size_t>* sizes_ = nullptr;
  size_t next_ = 0;  // next band nobody has claimed
  size_t end_ = 0;   // one past the page's last band
  size_t left_ = 0;  // bands of the page not yet coded
  bool quit_ = false;
  Band dst_ = Band(65536);
  std::vector<std::thread> helpers_;
};

// The most `threads` threads can gain over one on `c`'s pages when each
// page's bands are taken in page order by the first free thread and a page
// must be done before the next begins: from each band's fastest time of
// `passes` codings on this thread, one thread's total over the sum of each
// page's time until its last band is done. Bands of uneven cost leave
// threads idle at a page's end, which no amount of overhead saved wins back.
double pageOrderCeiling(const Corpus& c, unsigned threads, int passes) {
  std::vector<double> cost(c.bands.size());
  Band dst(65536);
  for (size_t band = 0; band < c.bands.size(); band++) {
    for (int pass = 0; pass < passes; pass++) {
      const double start = wallSeconds();
      codeBand(c.bands[band], &dst);
      const double took = wallSeconds() - start;
      if (pass == 0 || took < cost[band]) cost[band] = took;
    }
  }
  std::vector<size_t> starts = c.pageStarts;
  if (starts.empty()) starts.push_back(0);
  starts.push_back(c.bands.size());
  double alone = 0;
  double shared = 0;
  for (size_t page = 0; page + 1 < starts.size(); page++) {
    std::vector<double> busyUntil(threads, 0.0);
    for (size_t band = starts[page]; band < starts[page + 1]; band++) {
      *std::min_element(busyUntil.begin(), busyUntil.end()) += cost[band];
      alone += cost[band];
    }
    shared += *std::max_element(busyUntil.begin(), busyUntil.end());
  }
  return alone / shared;
}

#ifdef VORMEL_BENCH_ZLIB
size_t zlibOneThread(const Corpus& c) {
  Band zdst(compressBound(kBandSize));
  size_t out = 0;
  for (const Band& b : c.bands) {
    uLongf n = static_cast<uLongf>(zdst.size());
    compress2(zdst.data(), &n, b.data(), static_cast<uLong>(b.size()), 6);
    out += static_cast<size_t>(n);
  }
  return out;
}
#endif

}  // namespace

int main(int argc, char** argv) {
  const bool once = argc > 1 && std::strcmp(argv[1], "--once") == 0;
  const double minSeconds = argc > 1 && !once ? std::atof(argv[1]) : 0.5;
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
      std::fprintf(stderr, "band_throughput: rendering at %d dpi failed; is gs on the PATH?\n",
                   dpi);
    }
  }
  rmdir(dir);
  if (once) {
    for (const Corpus& c : corpora) {
      std::printf("%-16s %9zu bytes in, %9zu out\n", c.name.c_str(), inputBytes(c),
                  codeOneThread(c));
    }
    return 0;
  }
  corpora.push_back(
      syntheticCorpus("zeros", 8, [](size_t, uint32_t*) -> unsigned char { return 0; }));
  corpora.push_back(syntheticCorpus("random", 8, [](size_t, uint32_t* s) -> unsigned char {
    return static_cast<unsigned char>(nextRandom(s) >> 24);
  }));
  corpora.push_back(syntheticCorpus("text", 8, textByte));

  const unsigned cores =
      std::thread::hardware_concurrency() > 0 ? std::thread::hardware_concurrency() : 1;
  std::printf("%-16s %5s %5s %8s | %9s %9s %5s | %7s %7s | %9s %9s %5s %5s\n", "corpus", "pages",
              "bands", "bytes", "ours MB/s", "zlib6", "ratio", "ours %", "zlib6 %", "ours MB/s",
              "page MB/s", "gain", "most");
  std::printf("%-16s %5s %5s %8s | %9s %9s %5s | %7s %7s | %9s %6s x%-2u %5s %5s\n", "", "", "", "",
              "CPU time", "CPU time", "", "", "", "1 thread", "cores", cores, "wall", "order");
  for (const Corpus& c : corpora) {
    const size_t inBytes = inputBytes(c);
    size_t ours = 0, paged = 0;
    const Speed oursSpeed = measure(
        c, minSeconds, [&] { return codeOneThread(c); }, &ours);
    PageCoders coders(cores);
    const Speed pageSpeed = measure(
        c, minSeconds, [&] { return coders.code(c); }, &paged);
    if (paged != ours) {
      std::fprintf(stderr, "band_throughput: %s: %zu bytes coded on %u threads, %zu on one\n",
                   c.name.c_str(), paged, cores, ours);
      return 1;
    }
    const size_t pages = c.pageStarts.empty() ? 1 : c.pageStarts.size();
    std::printf("%-16s %5zu %5zu %8zu | %9.1f ", c.name.c_str(), pages, c.bands.size(), inBytes,
                oursSpeed.cpu);
#ifdef VORMEL_BENCH_ZLIB
    size_t theirs = 0;
    const Speed zlibSpeed = measure(
        c, minSeconds, [&] { return zlibOneThread(c); }, &theirs);
    std::printf("%9.1f %5.2f | %6.1f%% %6.1f%% ", zlibSpeed.cpu, oursSpeed.cpu / zlibSpeed.cpu,
                100.0 * ours / inBytes, 100.0 * theirs / inBytes);
#else
    std::printf("%9s %5s | %6.1f%% %7s ", "-", "-", 100.0 * ours / inBytes, "-");
#endif
    std::printf("| %9.1f %9.1f %5.2f %5.2f\n", oursSpeed.wall, pageSpeed.wall,
                pageSpeed.wall / oursSpeed.wall, pageOrderCeiling(c, cores, 20));
  }
  return 0;
}
