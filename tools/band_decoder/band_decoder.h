// Band decoder: reads the compressed band format (4-byte little-endian
// length, then an adaptively Huffman-coded stream of literals and copies over
// a 4096-byte history) back into the band's bytes. Written from the format
// description alone, independently of the encoder, so that it can serve as the
// oracle of round-trip tests and the core of the stream inspector. It never
// reads or writes outside its buffers, whatever bytes it is given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The receiver's copy of the adaptive code over 312 symbols (256 literals,
// 56 copy lengths). Starts as the initial tree; count() follows every symbol
// read, exactly as the sender does.
class DecoderModel {
 public:
  DecoderModel();
  void reset();
  // Reads one symbol from `bits` (most significant bit of each byte first)
  // starting at bit *bitPos, advancing *bitPos. Returns the symbol 0..311,
  // or -1 when the bits run out before a leaf is reached.
  int readSymbol(const uint8_t* bits, size_t bitCount, size_t* bitPos) const;
  // Counts one occurrence of `symbol` (rebuilding first when the root weight
  // has reached its limit).
  void count(int symbol);
  // Current code length of `symbol` in bits (its leaf's depth), which may
  // exceed 16. Returns -1 for a symbol outside 0..311.
  int depth(int symbol) const;

  static constexpr int kSymbols = 312;
  static constexpr int kNodes = 623;  // 312 leaves and 311 internal nodes
  static constexpr int kRoot = 622;

 private:
  void reconst();

  // Node positions ordered by weight; position 623 is a sentinel weight.
  // A leaf's firstChild is 623 + its symbol; upNode[623 + s] is the
  // position of the leaf of symbol s.
  uint16_t weight_[kNodes + 1];
  int16_t upNode_[kNodes + kSymbols];
  int16_t firstChild_[kNodes];
};

struct BandDecodeError {
  size_t byteOffset = 0;  // offset in the compressed band where decoding failed
  std::string message;    // what was expected there
};

// Decodes the compressed band of `size` bytes at `data` into `out`.
// `maxLength` bounds the length the header may announce (32768 for bands of
// the printer stream). Returns true and the band's bytes, or false with
// `error` filled in (truncated stream, length above maxLength, bad offset...).
bool decodeBand(const uint8_t* data, size_t size, std::vector<uint8_t>* out, BandDecodeError* error,
                size_t maxLength = 32768);
