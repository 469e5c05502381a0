// Band coding on helper threads: whatever the number of helpers, the sink gets
// every band in page order with exactly the bytes the coder gives for it
// alone, a sink that says stop gets no further band, no helper touches the
// page once codeBands has returned, a page read ahead is used only for the
// very same bytes.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "compressor/band_compressor.h"
#include "transfer/band_coding.h"

namespace {

struct Seen {
  std::vector<uint8_t> band;  // the band's own bytes
  int32_t length;
  int codedLength;
  std::vector<uint8_t> coded;
};

std::vector<Seen> seen;
// The page a sink offers ahead while the current one is being sent, as the
// job does once the next page image is finished.
const std::vector<uint8_t>* offerAfterFirstBand = nullptr;
size_t stopAfter = SIZE_MAX;
bool slowSink = false;

std::vector<uint8_t> bytesOf(const unsigned char* at, size_t length) {
  std::vector<uint8_t> bytes(length);
  if (length > 0)
    memcpy(bytes.data(), at, length);
  return bytes;
}

bool record(const CodedBand& band) {
  Seen s;
  s.band = bytesOf(band.band, static_cast<size_t>(band.length));
  s.length = band.length;
  s.codedLength = band.codedLength;
  if (band.codedLength > 0)
    s.coded = bytesOf(band.coded, static_cast<size_t>(band.codedLength));
  seen.push_back(s);
  if (slowSink)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
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
    if (s.codedLength > 0)
      s.coded.assign(buffer.begin(), buffer.begin() + s.codedLength);
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
      page[i] = kind == 0 ? static_cast<uint8_t>(random()) : kind == 1 ? static_cast<uint8_t>(i / 7) : 0xff;
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
    if (a[i].band != b[i].band || a[i].length != b[i].length || a[i].codedLength != b[i].codedLength ||
        a[i].coded != b[i].coded) {
      *why = "band " + std::to_string(i) + " differs";
      return false;
    }
  }
  return true;
}

class BandCoding : public ::testing::Test {
 protected:
  void SetUp() override {
    seen.clear();
    stopAfter = SIZE_MAX;
    slowSink = false;
  }
  void TearDown() override {
    offerAfterFirstBand = nullptr;
    setBandCodingHelpers(0);
  }
};

TEST_F(BandCoding, every_helper_count_hands_over_the_bands_in_order_with_their_own_bytes) {
  // Page sizes around band boundaries, with small bands so that pages have
  // many; one page of real-size bands.
  struct Case {
    size_t size;
    int32_t bandSize;
  } cases[] = {{0, 4096},     {1, 4096},         {4095, 4096},       {4096, 4096}, {4097, 4096},
               {8192, 4096},  {3 * 4096 + 5, 4096}, {41 * 4096 + 123, 4096}, {200003, 1024},
               {5 * 32768 + 17, 32768}};
  for (int helpers = 0; helpers <= 3; helpers++) {
    setBandCodingHelpers(helpers);
    for (const Case& c : cases) {
      SCOPED_TRACE("helpers " + std::to_string(helpers) + ", size " + std::to_string(c.size));
      const std::vector<uint8_t> page = makePage(c.size, static_cast<uint32_t>(c.size) + 7);
      seen.clear();
      ASSERT_TRUE(codeBands(page.data(), static_cast<int32_t>(page.size()), c.bandSize, record));
      std::string why;
      EXPECT_TRUE(sameBands(expected(page, c.bandSize), seen, &why)) << why;
    }
  }
}

TEST_F(BandCoding, a_slow_sink_still_gets_every_band_in_order) {
  // Helpers run ahead while the sink is busy; they must wait for free slots
  // instead of overwriting bands not yet handed over.
  slowSink = true;
  const std::vector<uint8_t> page = makePage(60 * 2048 + 99, 3);
  for (int helpers : {1, 3}) {
    setBandCodingHelpers(helpers);
    seen.clear();
    ASSERT_TRUE(codeBands(page.data(), static_cast<int32_t>(page.size()), 2048, record));
    std::string why;
    EXPECT_TRUE(sameBands(expected(page, 2048), seen, &why)) << "helpers " << helpers << ": " << why;
  }
}

TEST_F(BandCoding, a_sink_that_stops_gets_no_further_band_and_the_page_is_free_after) {
  setBandCodingHelpers(3);
  for (size_t stop : {1, 2, 5, 17}) {
    SCOPED_TRACE(stop);
    // The page lives on the heap and is freed as soon as codeBands returns:
    // a helper still reading it would be caught by AddressSanitizer, and one
    // still writing a slot would show in the next page's bands.
    std::vector<uint8_t>* page = new std::vector<uint8_t>(makePage(40 * 1024, static_cast<uint32_t>(stop)));
    const std::vector<Seen> all = expected(*page, 1024);
    seen.clear();
    stopAfter = stop;
    ASSERT_TRUE(codeBands(page->data(), static_cast<int32_t>(page->size()), 1024, record));
    delete page;
    ASSERT_EQ(stop, seen.size());
    std::string why;
    EXPECT_TRUE(sameBands(std::vector<Seen>(all.begin(), all.begin() + static_cast<long>(stop)), seen, &why)) << why;

    stopAfter = SIZE_MAX;
    const std::vector<uint8_t> next = makePage(9 * 1024, 99);
    seen.clear();
    ASSERT_TRUE(codeBands(next.data(), static_cast<int32_t>(next.size()), 1024, record));
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
    ASSERT_TRUE(codeBands(page.data(), static_cast<int32_t>(page.size()), 1024, record));
    std::string why;
    ASSERT_TRUE(sameBands(expected(page, 1024), seen, &why)) << "page " << n << ": " << why;
  }
}

bool recordAndOffer(const CodedBand& band) {
  if (offerAfterFirstBand != nullptr && seen.empty()) {
    unsigned char* copy = static_cast<unsigned char*>(malloc(offerAfterFirstBand->size()));
    memcpy(copy, offerAfterFirstBand->data(), offerAfterFirstBand->size());
    codeAhead(copy, static_cast<int32_t>(offerAfterFirstBand->size()), 1024);
  }
  return record(band);
}

std::vector<uint8_t> flipped(std::vector<uint8_t> page) {
  page[page.size() / 2] ^= 0x40;
  return page;
}

TEST_F(BandCoding, a_page_read_ahead_is_used_for_the_same_bytes_only) {
  const std::vector<uint8_t> first = makePage(6 * 1024 + 5, 11);
  const std::vector<uint8_t> second = makePage(9 * 1024 + 300, 12);
  const std::vector<uint8_t> sameSizeOther = flipped(second);
  std::string why;
  for (int helpers : {0, 1, 3}) {
    setBandCodingHelpers(helpers);
    // Read ahead and then sent: its bands, coded early, are the right ones
    // (the job reads the page again into its own buffer).
    offerAfterFirstBand = &second;
    seen.clear();
    ASSERT_TRUE(codeBands(first.data(), static_cast<int32_t>(first.size()), 1024, recordAndOffer));
    EXPECT_TRUE(sameBands(expected(first, 1024), seen, &why)) << why;
    offerAfterFirstBand = nullptr;
    const std::vector<uint8_t> again = second;
    seen.clear();
    ASSERT_TRUE(codeBands(again.data(), static_cast<int32_t>(again.size()), 1024, record));
    EXPECT_TRUE(sameBands(expected(second, 1024), seen, &why)) << "helpers " << helpers << ": " << why;

    // Read ahead, but the page sent differs in one byte, or in size, or in
    // band size: the early work is dropped.
    for (const std::vector<uint8_t>* sent : {&sameSizeOther, &first}) {
      offerAfterFirstBand = &second;
      seen.clear();
      ASSERT_TRUE(codeBands(first.data(), static_cast<int32_t>(first.size()), 1024, recordAndOffer));
      offerAfterFirstBand = nullptr;
      seen.clear();
      ASSERT_TRUE(codeBands(sent->data(), static_cast<int32_t>(sent->size()), 1024, record));
      EXPECT_TRUE(sameBands(expected(*sent, 1024), seen, &why)) << "helpers " << helpers << ": " << why;
    }
    offerAfterFirstBand = &second;
    seen.clear();
    ASSERT_TRUE(codeBands(first.data(), static_cast<int32_t>(first.size()), 1024, recordAndOffer));
    offerAfterFirstBand = nullptr;
    seen.clear();
    ASSERT_TRUE(codeBands(second.data(), static_cast<int32_t>(second.size()), 2048, record));
    EXPECT_TRUE(sameBands(expected(second, 2048), seen, &why)) << "helpers " << helpers << ": " << why;

    // Read ahead and never sent (the job ended): dropped, nothing leaks.
    offerAfterFirstBand = &second;
    seen.clear();
    ASSERT_TRUE(codeBands(first.data(), static_cast<int32_t>(first.size()), 1024, recordAndOffer));
    offerAfterFirstBand = nullptr;
    dropReadAhead();
  }
}

}  // namespace
