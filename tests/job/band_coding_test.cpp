// Band coding on helper threads: whatever the number of helpers, the sink gets
// every band in page order with exactly the bytes the coder gives for it
// alone, a sink that says stop gets no further band, no helper touches the
// page once codeBands has returned, and bytes the file no longer gives are
// coded as zeros and reported.
#include "transfer/band_coding.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "compressor/band_compressor.h"
#include "job_support.h"

namespace {

struct Seen {
  std::vector<uint8_t> band;  // the band's own bytes
  int32_t length;
  int codedLength;
  std::vector<uint8_t> coded;
};

std::vector<Seen> seen;
size_t stopAfter = SIZE_MAX;
bool slowSink = false;

std::vector<uint8_t> bytesOf(const unsigned char* at, size_t length) {
  std::vector<uint8_t> bytes(length);
  if (length > 0) memcpy(bytes.data(), at, length);
  return bytes;
}

bool record(const CodedBand& band) {
  Seen s;
  s.band = bytesOf(band.band, static_cast<size_t>(band.length));
  s.length = band.length;
  s.codedLength = band.codedLength;
  if (band.codedLength > 0) s.coded = bytesOf(band.coded, static_cast<size_t>(band.codedLength));
  seen.push_back(s);
  // A slow sink takes each band only once every helper has run as far
  // ahead as it can and waits: the slots are all taken.
  if (slowSink)
    waitFor([] { return processIdle(getpid(), static_cast<pid_t>(syscall(SYS_gettid))); });
  return seen.size() < stopAfter;
}

// What coding the bands one by one on this thread gives.
std::vector<Seen> expected(const std::vector<uint8_t>& page, int32_t bandSize) {
  std::vector<Seen> out;
  std::vector<uint8_t> buffer(2 * static_cast<size_t>(bandSize));
  for (int32_t start = 0; start < static_cast<int32_t>(page.size()); start += bandSize) {
    Seen s;
    s.length = std::min<int32_t>(bandSize, static_cast<int32_t>(page.size()) - start);
    s.band = bytesOf(page.data() + start, static_cast<size_t>(s.length));
    s.codedLength = Encode(s.length, const_cast<uint8_t*>(page.data() + start),
                           static_cast<int>(buffer.size()), buffer.data());
    if (s.codedLength > 0) s.coded.assign(buffer.begin(), buffer.begin() + s.codedLength);
    out.push_back(s);
  }
  return out;
}

// A page of label-like rows (runs of white with a few black spans) mixed with
// stretches of noise, so that bands differ in how long they take to code.
std::vector<uint8_t> makePage(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<uint8_t> page(size, 0xff);
  for (size_t at = 0; at < size;) {
    const size_t span = 1 + random() % 3000;
    const int kind = static_cast<int>(random() % 4);
    for (size_t i = at; i < at + span && i < size; i++)
      page[i] = kind == 0   ? static_cast<uint8_t>(random())
                : kind == 1 ? static_cast<uint8_t>(i / 7)
                            : 0xff;
    at += span;
  }
  return page;
}

bool sameBands(const std::vector<Seen>& a, const std::vector<Seen>& b, std::string* why) {
  if (a.size() != b.size()) {
    *why = "band count " + std::to_string(a.size()) + " != " + std::to_string(b.size());
    return false;
  }
  for (size_t i = 0; i < a.size(); i++) {
    if (a[i].band != b[i].band || a[i].length != b[i].length ||
        a[i].codedLength != b[i].codedLength || a[i].coded != b[i].coded) {
      *why = "band " + std::to_string(i) + " differs";
      return false;
    }
  }
  return true;
}

void writeBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  writeFile(path, std::string(bytes.begin(), bytes.end()));
}

// A page image file opened as outputFile opens it.
struct OpenPage {
  explicit OpenPage(const std::string& name)
      : path(name), fd(open(name.c_str(), O_RDONLY | O_CLOEXEC)) {
    if (fd >= 0 && fstat(fd, &info) != 0) {
      close(fd);
      fd = -1;
    }
  }
  ~OpenPage() {
    if (fd >= 0) close(fd);
  }
  OpenPage(const OpenPage&) = delete;
  OpenPage& operator=(const OpenPage&) = delete;
  std::string path;
  int fd;
  struct stat info = {};
};

class BandCoding : public ::testing::Test {
 protected:
  void SetUp() override {
    seen.clear();
    stopAfter = SIZE_MAX;
    slowSink = false;
  }
  void TearDown() override {
    setBandCodingHelpers(0);
    setPageMemoryFailing(false);
  }
  // Codes the page in the file `path` in bands of `bandSize`; the result of
  // codeBands, or false when it could not start.
  bool codeFile(const std::string& path, int32_t bandSize, BandSink sink = record) {
    OpenPage page(path);
    if (page.fd < 0) return false;
    PageBands* bands = openPageBands(page.fd, page.info, bandSize);
    return bands != nullptr && codeBands(bands, sink);
  }
  std::string pagePath(const std::vector<uint8_t>& bytes, const std::string& name = "page") {
    const std::string path = dir.path + "/" + name;
    writeBytes(path, bytes);
    return path;
  }
  ScratchDir dir{"vtbc"};
};

TEST_F(BandCoding, every_helper_count_hands_over_the_bands_in_order_with_their_own_bytes) {
  // Page sizes around band boundaries, with small bands so that pages have
  // many; one page of real-size bands.
  struct Case {
    size_t size;
    int32_t bandSize;
  } cases[] = {{0, 4096},
               {1, 4096},
               {4095, 4096},
               {4096, 4096},
               {4097, 4096},
               {8192, 4096},
               {3 * 4096 + 5, 4096},
               {41 * 4096 + 123, 4096},
               {200003, 1024},
               {5 * 32768 + 17, 32768}};
  for (int helpers = 0; helpers <= 3; helpers++) {
    setBandCodingHelpers(helpers);
    for (const Case& c : cases) {
      SCOPED_TRACE("helpers " + std::to_string(helpers) + ", size " + std::to_string(c.size));
      const std::vector<uint8_t> page = makePage(c.size, static_cast<uint32_t>(c.size) + 7);
      seen.clear();
      ASSERT_TRUE(codeFile(pagePath(page), c.bandSize));
      std::string why;
      EXPECT_TRUE(sameBands(expected(page, c.bandSize), seen, &why)) << why;
    }
  }
}

TEST_F(BandCoding, a_slow_sink_still_gets_every_band_in_order) {
  // Helpers run ahead while the sink holds each band; they must wait for
  // free slots instead of overwriting bands not yet handed over.
  slowSink = true;
  const std::vector<uint8_t> page = makePage(60 * 2048 + 99, 3);
  const std::string path = pagePath(page);
  for (int helpers : {1, 3}) {
    setBandCodingHelpers(helpers);
    seen.clear();
    ASSERT_TRUE(codeFile(path, 2048));
    std::string why;
    EXPECT_TRUE(sameBands(expected(page, 2048), seen, &why))
        << "helpers " << helpers << ": " << why;
  }
}

TEST_F(BandCoding, a_sink_that_stops_gets_no_further_band_and_the_page_is_free_after) {
  setBandCodingHelpers(3);
  for (size_t stop : {1, 2, 5, 17}) {
    SCOPED_TRACE(stop);
    // The slots are freed as soon as codeBands returns: a helper still
    // writing one would be caught by AddressSanitizer, and one still reading
    // the file would show in the next page's bands, which reuse its name.
    const std::vector<uint8_t> page = makePage(40 * 1024, static_cast<uint32_t>(stop));
    const std::string path = pagePath(page);
    seen.clear();
    stopAfter = stop;
    ASSERT_TRUE(codeFile(path, 1024));
    ASSERT_EQ(stop, seen.size());
    std::string why;
    const std::vector<Seen> all = expected(page, 1024);
    EXPECT_TRUE(sameBands(std::vector<Seen>(all.begin(), all.begin() + static_cast<long>(stop)),
                          seen, &why))
        << why;

    stopAfter = SIZE_MAX;
    const std::vector<uint8_t> next = makePage(9 * 1024, 99);
    seen.clear();
    ASSERT_TRUE(codeFile(pagePath(next), 1024));
    EXPECT_TRUE(sameBands(expected(next, 1024), seen, &why)) << "next page: " << why;
  }
}

TEST_F(BandCoding, many_short_pages_in_a_row_with_helpers) {
  // Page after page of two or three bands, the streamed job's usual shape,
  // so that a lost wake-up between pages would hang or drop a band.
  setBandCodingHelpers(1);
  for (uint32_t n = 0; n < 300; n++) {
    const std::vector<uint8_t> page = makePage(2 * 1024 + (n * 37) % 2048, n);
    seen.clear();
    ASSERT_TRUE(codeFile(pagePath(page), 1024));
    std::string why;
    ASSERT_TRUE(sameBands(expected(page, 1024), seen, &why)) << "page " << n << ": " << why;
  }
}

TEST_F(BandCoding, bytes_the_file_no_longer_gives_are_coded_as_zeros_and_reported) {
  // The file is cut after it was opened: the bands keep the length its size
  // announced, the bytes past the cut are zeros, and codeBands says so.
  const std::vector<uint8_t> page = makePage(20 * 1024 + 300, 21);
  struct Row {
    size_t cutAt;
    bool whole;
  } rows[] = {{page.size(), true}, {page.size() - 1, false}, {5 * 1024 + 17, false}, {0, false}};
  for (int helpers = 0; helpers <= 3; helpers++) {
    setBandCodingHelpers(helpers);
    for (const Row& row : rows) {
      SCOPED_TRACE("helpers " + std::to_string(helpers) + ", cut at " + std::to_string(row.cutAt));
      const std::string path = pagePath(page);
      OpenPage open(path);
      ASSERT_GE(open.fd, 0);
      PageBands* bands = openPageBands(open.fd, open.info, 1024);
      ASSERT_NE(nullptr, bands);
      ASSERT_EQ(0, truncate(path.c_str(), static_cast<off_t>(row.cutAt)));
      seen.clear();
      EXPECT_EQ(row.whole, codeBands(bands, record));
      std::vector<uint8_t> sent(page.begin(), page.begin() + static_cast<long>(row.cutAt));
      sent.resize(page.size(), 0);
      std::string why;
      EXPECT_TRUE(sameBands(expected(sent, 1024), seen, &why)) << why;
    }
  }
}

TEST_F(BandCoding, no_page_memory_means_no_page_and_no_band) {
  const std::string path = pagePath(makePage(9 * 1024, 5));
  for (int helpers : {0, 2}) {
    setBandCodingHelpers(helpers);
    setPageMemoryFailing(true);
    OpenPage open(path);
    EXPECT_EQ(nullptr, openPageBands(open.fd, open.info, 1024)) << "helpers " << helpers;
    setPageMemoryFailing(false);
    seen.clear();
    EXPECT_TRUE(codeFile(path, 1024));
    EXPECT_EQ(9u, seen.size());
  }
}

}  // namespace
