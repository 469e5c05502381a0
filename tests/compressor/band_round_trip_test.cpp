// Round trips through the independent band decoder: every sample band comes
// back from its complete stream, which equals that of the plain reference
// coder; the entry point's result is that stream cut at the band's length;
// codes deeper than 16 bits come out whole; bands coded on several threads
// at once come out as coded alone.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "band_decoder/band_decoder.h"
#include "byte_diff.h"
#include "compressor/adaptive_huffman.h"
#include "compressor/band_compressor.h"
#include "reference_coder.h"
#include "sample_bands.h"

namespace {

::testing::AssertionResult decodesTo(const Bytes& stream, const Bytes& band) {
  Bytes decoded;
  BandDecodeError error;
  if (!decodeBand(stream.data(), stream.size(), &decoded, &error)) {
    return ::testing::AssertionFailure()
           << "decoder refused the stream at byte " << error.byteOffset << ": " << error.message;
  }
  const std::string difference = describeDifference(band, decoded);
  if (!difference.empty()) return ::testing::AssertionFailure() << difference;
  return ::testing::AssertionSuccess();
}

struct Family {
  const char* name;
  Bytes (*make)(size_t size);
};

const Family kFamilies[] = {
    {"random", [](size_t n) { return randomBytes(n, 7); }},
    {"zeros", [](size_t n) { return runBytes(n, 0x00); }},
    {"spaces", [](size_t n) { return runBytes(n, 0x20); }},
    {"white rows", [](size_t n) { return runBytes(n, 0xFF); }},
    {"ramp", [](size_t n) { return rampBytes(n); }},
    {"text", [](size_t n) { return textBytes(n, 3); }},
    {"page rows", [](size_t n) { return pcxRowBytes(n, 5); }},
    {"de Bruijn",
     [](size_t n) {
       Bytes b = deBruijnBand();
       b.resize(n);
       return b;
     }},
    {"text then random then zeros",
     [](size_t n) {
       Bytes b = textBytes(n / 3, 9);
       const Bytes r = randomBytes(n / 3, 11);
       b.insert(b.end(), r.begin(), r.end());
       b.resize(n, 0);
       return b;
     }},
};

const size_t kLengths[] = {0, 1, 4, 5, 59, 60, 61, 4035, 4036, 4095, 4096, 4097, 32767, 32768};

}  // namespace

TEST(BandRoundTrip, every_sample_band_decodes_back_and_the_result_is_the_stream_cut_at_its_length) {
  int shrunk = 0;
  for (const Family& family : kFamilies) {
    for (const size_t len : kLengths) {
      SCOPED_TRACE(std::string(family.name) + ", " + std::to_string(len) + " bytes");
      const Bytes band = family.make(len);
      const Bytes complete = completeStream(band);
      EXPECT_EQ(describeDifference(completeStream(band, true), complete), "");
      EXPECT_TRUE(decodesTo(complete, band));

      int result = 0;
      const Bytes got = encodeBand(band, &result);
      const size_t bound = std::max<size_t>(kHeaderSize, std::min(len, complete.size()));
      ASSERT_EQ(static_cast<size_t>(result), bound);
      EXPECT_EQ(
          describeDifference(
              Bytes(complete.begin(), complete.begin() + static_cast<std::ptrdiff_t>(bound)), got),
          "");
      if (static_cast<size_t>(result) < len) {
        EXPECT_TRUE(decodesTo(got, band));
        shrunk++;
      }
    }
  }
  // The samples must exercise both outcomes.
  EXPECT_GT(shrunk, 40);
}

TEST(BandRoundTrip, many_random_mixtures_match_the_reference_coder_and_decode_back) {
  // Bands mixing runs, copies from far back and noise, at assorted lengths.
  uint32_t seed = 1;
  for (int trial = 0; trial < 60; trial++) {
    const size_t len = 1 + (static_cast<size_t>(trial) * 2741) % 32768;
    Bytes band;
    while (band.size() < len) {
      const Bytes piece =
          (seed % 3 == 0) ? randomBytes(1 + seed % 97, seed)
          : (seed % 3 == 1)
              ? runBytes(1 + seed % 300, static_cast<uint8_t>(seed))
              : (band.size() > 4000 ? Bytes(band.end() - 4000, band.end() - 4000 + 200)
                                    : textBytes(70, seed));
      band.insert(band.end(), piece.begin(), piece.end());
      seed = seed * 1103515245u + 12345u;
    }
    band.resize(len);
    SCOPED_TRACE("trial " + std::to_string(trial));
    const Bytes complete = completeStream(band);
    EXPECT_EQ(describeDifference(completeStream(band, true), complete), "");
    EXPECT_TRUE(decodesTo(complete, band));
  }
}

TEST(BandRoundTrip, bands_coded_on_several_threads_at_once_come_out_as_coded_alone) {
  // The coder keeps all its state in the record of each call, so threads
  // coding different bands of one page do not disturb each other. Every
  // family at full band length, coded alone first, then all at once.
  std::vector<Bytes> bands;
  std::vector<Bytes> alone;
  for (const Family& family : kFamilies) {
    bands.push_back(family.make(32768));
    int result = 0;
    alone.push_back(encodeBand(bands.back(), &result));
  }
  std::vector<Bytes> together(bands.size());
  std::vector<std::thread> threads;
  for (size_t i = 0; i < bands.size(); i++) {
    threads.emplace_back([&, i] {
      // Each thread codes its band a few times, so the calls overlap.
      for (int round = 0; round < 3; round++) {
        int result = 0;
        together[i] = encodeBand(bands[i], &result);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  for (size_t i = 0; i < bands.size(); i++) {
    SCOPED_TRACE(kFamilies[i].name);
    EXPECT_EQ(describeDifference(alone[i], together[i]), "");
  }
}

TEST(AdaptiveCode, codes_deeper_than_16_levels_come_out_whole) {
  // Symbols 12..311 are counted 100 times each and symbols 0..11 get
  // Fibonacci weights, which pushes the leaves of 0 and 1 to depth 17.
  std::vector<int> symbols;
  for (int s = 12; s < kSymbols; s++) symbols.insert(symbols.end(), 100, s);
  int a = 1, b = 1;
  for (int s = 0; s < 12; s++) {
    symbols.insert(symbols.end(), static_cast<size_t>(a - 1), s);
    const int c = a + b;
    a = b;
    b = c;
  }
  const size_t prefix = symbols.size();
  for (const int s : {0, 1, 0, 2, 1, 0, 311, 0}) symbols.push_back(s);

  _CParams* p = static_cast<_CParams*>(std::calloc(1, sizeof(_CParams)));
  Bytes out(1 << 20);
  p->outBuf = out.data();
  p->outCap = static_cast<int32_t>(out.size());
  initCParams(p);
  StartHuff(p);
  for (const int s : symbols) EncodeChar(static_cast<unsigned short>(s), p);
  EncodeEnd(p);
  out.resize(static_cast<size_t>(p->outLen));
  std::free(p);

  DecoderModel model;
  size_t bitPos = 0;
  int deepest = 0;
  for (size_t i = 0; i < symbols.size(); i++) {
    if (i >= prefix) deepest = std::max(deepest, model.depth(symbols[i]));
    const int got = model.readSymbol(out.data(), out.size() * 8, &bitPos);
    ASSERT_EQ(got, symbols[i]) << "symbol " << i << " of " << symbols.size();
    model.count(got);
  }
  EXPECT_GE(deepest, 17);
  EXPECT_LT(out.size() * 8 - bitPos, 8u);
}

TEST(AdaptiveCode, rebuild_keeps_every_weight_positive_and_the_order_sorted) {
  _CParams* p = static_cast<_CParams*>(std::calloc(1, sizeof(_CParams)));
  Bytes out(1 << 17);
  p->outBuf = out.data();
  p->outCap = static_cast<int32_t>(out.size());
  StartHuff(p);
  // Uneven counts so that halving meets odd, even and unit weights.
  uint32_t seed = 5;
  while (p->weight[kRoot] < kMaxWeight) {
    seed = seed * 1103515245u + 12345u;
    const int s =
        static_cast<int>((seed >> 16) % 17) * static_cast<int>((seed >> 8) % 19) % kSymbols;
    EncodeChar(static_cast<unsigned short>(s), p);
  }
  EncodeChar(3, p);  // this update rebuilds first
  EXPECT_LT(p->weight[kRoot], kMaxWeight / 2 + kSymbols);
  for (int pos = 0; pos < kNodes; pos++) {
    EXPECT_GE(p->weight[pos], 1) << "position " << pos;
    EXPECT_LE(p->weight[pos], p->weight[pos + 1]) << "position " << pos;
    if (p->firstChild[pos] < kNodes) {
      const int c = p->firstChild[pos];
      EXPECT_EQ(p->weight[pos], p->weight[c] + p->weight[c + 1]) << "position " << pos;
      EXPECT_EQ(p->upNode[c], pos);
      EXPECT_EQ(p->upNode[c + 1], pos);
    } else {
      EXPECT_EQ(p->upNode[p->firstChild[pos]], pos);
    }
  }
  std::free(p);
}

TEST(OffsetCode, is_prefix_free_and_complete_with_the_stated_length_counts) {
  int perLength[9] = {0};
  double kraft = 0;
  for (int u = 0; u < 64; u++) {
    perLength[p_len[u]]++;
    kraft += 1.0 / (1 << p_len[u]);
    EXPECT_EQ(p_code[u] & ((1 << (8 - p_len[u])) - 1), 0) << "bits below the code of " << u;
    for (int v = 0; v < 64; v++) {
      if (v == u || p_len[v] < p_len[u]) continue;
      const int shift = 8 - p_len[u];
      EXPECT_NE(p_code[v] >> shift, p_code[u] >> shift) << u << " is a prefix of " << v;
    }
  }
  const int expected[9] = {0, 0, 0, 1, 3, 8, 12, 24, 16};
  for (int n = 0; n < 9; n++) EXPECT_EQ(perLength[n], expected[n]) << n << "-bit codes";
  EXPECT_DOUBLE_EQ(kraft, 1.0);
}
