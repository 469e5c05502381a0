// The receiver's model: its initial codes, how a code shortens as a symbol
// repeats, the rebuild, and leaves deeper than 16 levels. Codes are found
// by walking the tree with readSymbol, so the checks hold the model against
// itself only through properties (prefix-free, complete, depth = bits read).
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "band_decoder/band_decoder.h"

namespace {

// Every symbol's current code as a string of '0'/'1', found by exploring
// all bit prefixes: a prefix that runs out of bits is an internal node.
std::map<int, std::string> allCodes(const DecoderModel& model) {
  std::map<int, std::string> codes;
  std::vector<std::string> pending = {""};
  while (!pending.empty()) {
    const std::string prefix = pending.back();
    pending.pop_back();
    std::vector<uint8_t> bytes((prefix.size() + 7) / 8 + 1, 0);
    for (size_t i = 0; i < prefix.size(); ++i)
      if (prefix[i] == '1') bytes[i / 8] |= static_cast<uint8_t>(0x80 >> (i % 8));
    size_t pos = 0;
    const int symbol = model.readSymbol(bytes.data(), prefix.size(), &pos);
    if (symbol >= 0) {
      EXPECT_EQ(pos, prefix.size());
      EXPECT_EQ(codes.count(symbol), 0u) << "symbol " << symbol << " reached twice";
      codes[symbol] = prefix;
    } else {
      EXPECT_LT(prefix.size(), 40u) << "tree deeper than any weight allows";
      if (prefix.size() >= 40) break;
      pending.push_back(prefix + "0");
      pending.push_back(prefix + "1");
    }
  }
  return codes;
}

std::string codeOf(const DecoderModel& model, int symbol) { return allCodes(model)[symbol]; }

TEST(DecoderModel, initial_tree_gives_the_stated_codes) {
  const DecoderModel model;
  const std::map<int, std::string> codes = allCodes(model);
  ASSERT_EQ(codes.size(), 312u);
  EXPECT_EQ(codes.at(0x41), "111010001");
  EXPECT_EQ(codes.at(0x61), "111110001");
  EXPECT_EQ(codes.at(112), "00000000");
  EXPECT_EQ(codes.at(310), "11000110");
  EXPECT_EQ(codes.at(311), "11000111");
  // Symbols 112..311 take the 8-bit codes 0..199, symbols 0..111 the 9-bit
  // codes 400..511.
  for (int s = 0; s < 312; ++s) {
    const std::string& c = codes.at(s);
    const int value = static_cast<int>(std::stoul(c, nullptr, 2));
    if (s >= 112) {
      EXPECT_EQ(c.size(), 8u) << s;
      EXPECT_EQ(value, s - 112) << s;
    } else {
      EXPECT_EQ(c.size(), 9u) << s;
      EXPECT_EQ(value, s + 400) << s;
    }
    EXPECT_EQ(model.depth(s), static_cast<int>(c.size())) << s;
  }
}

TEST(DecoderModel, counting_a_moves_its_leaf_and_gives_311_its_old_code) {
  DecoderModel model;
  model.count(0x61);
  EXPECT_EQ(codeOf(model, 311), "111110001");
  EXPECT_EQ(codeOf(model, 0x61), "11000111");
}

// The k-th coding of symbol 0 uses the code length held before its count.
TEST(DecoderModel, repeated_symbol_code_shortens_then_survives_the_rebuild) {
  DecoderModel model;
  auto expectedLength = [](int k) {
    if (k == 1) return 9;
    if (k == 2) return 8;
    if (k <= 4) return 7;
    if (k <= 8) return 6;
    if (k <= 16) return 5;
    if (k <= 32) return 4;
    if (k <= 64) return 3;
    if (k < 184) return 2;
    return 1;
  };
  int otherDepthBefore = -1;
  for (int k = 1; k <= 40000; ++k) {
    ASSERT_EQ(model.depth(0), expectedLength(k)) << "coding " << k;
    // Once symbol 0 sits below the root, counting it again moves nothing,
    // except in the rebuild, which reshapes the rest of the tree.
    if (k == 32456) otherDepthBefore = model.depth(0x41);
    model.count(0);
    if (k == 32456) {
      EXPECT_EQ(model.depth(0x41), otherDepthBefore) << "rebuild too early";
    }
    if (k == 32457) {
      EXPECT_NE(model.depth(0x41), otherDepthBefore) << "no rebuild at 32457";
    }
  }
}

// Counts of Fibonacci growth, starting near the weight of all the untouched
// leaves together, hang those leaves below a long chain far from the root;
// the model must still read and report their full paths.
TEST(DecoderModel, leaves_deeper_than_16_levels_keep_their_full_code) {
  DecoderModel model;
  int64_t a = 150, b = 150, total = 312;
  int symbol = 200;
  while (total + a + b < 32000) {
    const int64_t next = a + b;
    for (int64_t i = 0; i < next; ++i) model.count(symbol);
    total += next;
    a = b;
    b = next;
    ++symbol;
  }
  int deepest = 0;
  int deepSymbol = -1;
  for (int s = 0; s < 312; ++s)
    if (model.depth(s) > deepest) {
      deepest = model.depth(s);
      deepSymbol = s;
    }
  EXPECT_GT(deepest, 16) << "deepest leaf " << deepest;
  EXPECT_LE(deepest, 21);

  const std::map<int, std::string> codes = allCodes(model);
  ASSERT_EQ(codes.size(), 312u);
  double kraft = 0;
  for (const auto& [s, c] : codes) {
    EXPECT_EQ(model.depth(s), static_cast<int>(c.size())) << s;
    kraft += 1.0 / static_cast<double>(1u << c.size());
  }
  EXPECT_DOUBLE_EQ(kraft, 1.0);
  EXPECT_EQ(static_cast<int>(codes.at(deepSymbol).size()), deepest);
}

// On any bits, readSymbol takes exactly as many bits as the depth it reports.
TEST(DecoderModel, read_symbol_consumes_exactly_its_depth) {
  std::mt19937 rng(7);
  DecoderModel model;
  std::vector<uint8_t> bits(64);
  for (int round = 0; round < 3000; ++round) {
    for (uint8_t& byte : bits) byte = static_cast<uint8_t>(rng());
    size_t pos = rng() % 64;
    const size_t start = pos;
    const int symbol = model.readSymbol(bits.data(), bits.size() * 8, &pos);
    ASSERT_GE(symbol, 0);
    ASSERT_LT(symbol, 312);
    EXPECT_EQ(pos - start, static_cast<size_t>(model.depth(symbol)));
    model.count(symbol % 3 == 0 ? symbol : static_cast<int>(rng() % 312));
  }
}

TEST(DecoderModel, out_of_range_symbols_are_refused) {
  DecoderModel model;
  EXPECT_EQ(model.depth(-1), -1);
  EXPECT_EQ(model.depth(312), -1);
  model.count(312);
  model.count(-5);
  EXPECT_EQ(model.depth(0), 9);
  const uint8_t none[1] = {0};
  size_t pos = 0;
  EXPECT_EQ(model.readSymbol(none, 0, &pos), -1);
  EXPECT_EQ(pos, 0u);
}

}  // namespace
