// Known compressed bands, each worked out by hand from the code tree, decode
// to exactly the bytes they stand for.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "band_decoder/band_decoder.h"

namespace {

struct Vector {
  const char* name;
  std::vector<uint8_t> stream;
  std::vector<uint8_t> expected;
};

std::vector<uint8_t> repeat(size_t n, uint8_t b) { return std::vector<uint8_t>(n, b); }
std::vector<uint8_t> text(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

TEST(BandVectors, known_streams_decode_to_their_bytes) {
  const std::vector<Vector> table = {
      {"empty band is the header alone", {0, 0, 0, 0}, {}},
      {"literal A then a copy of 59 at offset 0",
       {0x3C, 0, 0, 0, 0xE8, 0xE3, 0x00, 0x00},
       repeat(60, 0x41)},
      {"one copy of 60 spaces from the initial fill",
       {0x3C, 0, 0, 0, 0xC7, 0x1D, 0x80},
       repeat(60, 0x20)},
      {"copy of 10 spaces at offset 0", {0x0A, 0, 0, 0, 0x95, 0x00, 0x00}, repeat(10, 0x20)},
      {"copy of 60 then a copy of 5",
       {0x41, 0, 0, 0, 0xC7, 0x1D, 0xC8, 0x0D, 0x80},
       repeat(65, 0x20)},
      {"three literals from the initial tree", {3, 0, 0, 0, 0xF8, 0xFC, 0xBE, 0x60}, text("abc")},
      // a's leaf moves up after each coding, so its code shortens and
      // symbol 311 takes its old code.
      {"repeated literal follows the reshaped tree",
       {5, 0, 0, 0, 0xF8, 0xE3, 0xE2, 0xC7, 0xF2},
       text("aaaab")},
      // copy of 60 (11000111), offset 4035 = 63*64+3 (11111111 000011): the
      // oldest space of the initial fill.
      {"largest offset reaches the start of the fill",
       {0x3C, 0, 0, 0, 0xC7, 0xFF, 0x0C},
       repeat(60, 0x20)},
  };
  for (const Vector& v : table) {
    std::vector<uint8_t> out;
    BandDecodeError error;
    const bool ok = decodeBand(v.stream.data(), v.stream.size(), &out, &error);
    EXPECT_TRUE(ok) << v.name << ": " << error.message << " at byte " << error.byteOffset;
    EXPECT_EQ(out, v.expected) << v.name;
  }
}

}  // namespace
