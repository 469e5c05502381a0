// Truncated, overlong, lying and random bands: each gives false with the
// byte offset where decoding failed, never bytes beyond the header's length
// and never a read outside the given buffer (checked under the sanitizers).
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "band_decoder/band_decoder.h"

namespace {

struct Case {
  const char* name;
  std::vector<uint8_t> stream;
  size_t failsAt;
  const char* messagePart;
};

TEST(MalformedBand, each_fault_is_reported_where_it_is) {
  const std::vector<Case> table = {
      {"no header", {}, 0, "4-byte length header"},
      {"partial header", {0x3C, 0}, 2, "4-byte length header"},
      {"length above the band limit", {0x01, 0x80, 0, 0, 0xC7}, 0, "exceeds the limit"},
      {"huge length", {0xFF, 0xFF, 0xFF, 0xFF, 0xC7}, 0, "exceeds the limit"},
      {"empty band with bytes after it", {0, 0, 0, 0, 0x00}, 4, "follow a band of length 0"},
      {"header alone for a non-empty band", {0x05, 0, 0, 0}, 4, "too short"},
      {"stream cut inside a code", {0x05, 0, 0, 0, 0xF8}, 5, "ends inside the symbol"},
      {"stream cut inside an offset", {0x3C, 0, 0, 0, 0xC7, 0x1D}, 6, "ends inside the offset"},
      {"offset beyond the written history", {0x3C, 0, 0, 0, 0xC7, 0xFF, 0xFC}, 5, "offset 4095"},
      {"copy longer than what is left", {0x3B, 0, 0, 0, 0xC7, 0x1D, 0x80}, 4, "runs past"},
      {"bytes after the last token", {0x0A, 0, 0, 0, 0x95, 0x00, 0x00, 0x00}, 7, "follow the end"},
      {"non-zero padding", {0x0A, 0, 0, 0, 0x95, 0x00, 0x01}, 6, "padding"},
  };
  for (const Case& c : table) {
    std::vector<uint8_t> out = {1, 2, 3};
    BandDecodeError error;
    EXPECT_FALSE(decodeBand(c.stream.data(), c.stream.size(), &out, &error)) << c.name;
    EXPECT_EQ(error.byteOffset, c.failsAt) << c.name << ": " << error.message;
    EXPECT_NE(error.message.find(c.messagePart), std::string::npos)
        << c.name << ": " << error.message;
    EXPECT_TRUE(out.empty()) << c.name;
  }
}

TEST(MalformedBand, the_caller_sets_the_length_limit) {
  const std::vector<uint8_t> band = {0x3C, 0, 0, 0, 0xC7, 0x1D, 0x80};
  std::vector<uint8_t> out;
  BandDecodeError error;
  EXPECT_FALSE(decodeBand(band.data(), band.size(), &out, &error, 59));
  EXPECT_TRUE(decodeBand(band.data(), band.size(), &out, &error, 60));
  EXPECT_EQ(out.size(), 60u);
}

// Every proper prefix of a valid band fails, and at an offset inside it.
TEST(MalformedBand, every_truncation_of_a_valid_band_fails) {
  const std::vector<std::vector<uint8_t>> bands = {
      {0x3C, 0, 0, 0, 0xE8, 0xE3, 0x00, 0x00},
      {0x41, 0, 0, 0, 0xC7, 0x1D, 0xC8, 0x0D, 0x80},
      {5, 0, 0, 0, 0xF8, 0xE3, 0xE2, 0xC7, 0xF2},
  };
  for (const auto& band : bands) {
    for (size_t cut = 0; cut < band.size(); ++cut) {
      // A copy of the prefix alone, so that a read past it is caught.
      const std::vector<uint8_t> prefix(band.begin(), band.begin() + cut);
      std::vector<uint8_t> out;
      BandDecodeError error;
      EXPECT_FALSE(decodeBand(prefix.data(), prefix.size(), &out, &error)) << "cut " << cut;
      EXPECT_LE(error.byteOffset, cut);
      EXPECT_FALSE(error.message.empty());
    }
  }
}

// Random bytes after a plausible header: either a band of exactly the
// announced length or an error inside the input.
TEST(MalformedBand, random_streams_decode_or_fail_cleanly) {
  std::mt19937 rng(12345);
  int decoded = 0;
  for (int round = 0; round < 4000; ++round) {
    const size_t size = 4 + rng() % 80;
    std::vector<uint8_t> band(size);
    for (uint8_t& b : band) b = static_cast<uint8_t>(rng());
    const uint32_t n = rng() % 200;
    band[0] = static_cast<uint8_t>(n);
    band[1] = static_cast<uint8_t>(n >> 8);
    band[2] = band[3] = 0;
    std::vector<uint8_t> out;
    BandDecodeError error;
    if (decodeBand(band.data(), band.size(), &out, &error)) {
      EXPECT_EQ(out.size(), n);
      ++decoded;
    } else {
      EXPECT_LE(error.byteOffset, size);
      EXPECT_TRUE(out.empty());
    }
  }
  EXPECT_GT(decoded, 0);
}

}  // namespace
