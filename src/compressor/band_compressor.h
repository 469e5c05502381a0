// Band compressor: LZSS over a 4096-byte sliding window with adaptive Huffman
// coding of literals and match lengths. One _CParams record holds all state of
// one band's encode; the compressor has no other mutable state.
#pragma once

#include <cstdint>

// Window and match constants.
constexpr int kWindowSize = 4096;                   // ring positions 0..4095
constexpr int kMaxMatch = 60;                       // longest copy
constexpr int kMinMatch = 5;                        // shorter matches go out as literals
constexpr int kWindowStart = kWindowSize - kMaxMatch;  // 4036: first coding position
constexpr int kMirrorSize = kMaxMatch - 1;          // 59 bytes mirrored past the ring
constexpr int kNil = kWindowSize;                   // 4096: empty link
constexpr int kRootBase = kWindowSize + 1;          // 4097 + first byte: tree roots

// Adaptive Huffman constants.
constexpr int kSymbols = 256 + kMaxMatch - kMinMatch + 1;  // 312
constexpr int kNodes = 2 * kSymbols - 1;                   // 623
constexpr int kRoot = kNodes - 1;                          // 622
constexpr unsigned kMaxWeight = 0x8000;

constexpr int kHeaderSize = 4;  // little-endian band length before the bit stream

struct _CParams {
  int32_t firstFill;
  int32_t codeBytes;
  int32_t auxCount;
  unsigned char window[kWindowSize + kMirrorSize];  // 4155
  int16_t bestOffset;
  int16_t bestLength;
  int16_t leftLink[kWindowSize + 1];     // 4097
  int16_t rightLink[kWindowSize + 257];  // 4353
  int16_t upLink[kWindowSize + 1];       // 4097
  uint16_t weight[kNodes + 1];           // 624
  int16_t upNode[kNodes + kSymbols];     // 935
  int16_t firstChild[kNodes];            // 623
  uint16_t bitWord;
  uint8_t bitFill;
  uint16_t spareWord;
  uint8_t spareByte;
  unsigned char* inData;
  unsigned char* outBuf;
  int32_t inSize;
  int32_t spareInt;
  int32_t inPos;
  int32_t outLen;
  int32_t outCap;
};

// Byte streams and record setup.
int mgetc(_CParams* p);
int mputc(int v, _CParams* p);
void initCParams(_CParams* p);

// Encode(len, src, dstCapacity, dst): compresses len bytes at src into dst.
// Returns the bytes stored (4 for len <= 4; len itself when the band did not
// shrink), or -1 when memory cannot be had, len is negative or the result
// exceeds dstCapacity (dst untouched then).
int Encode(int len, unsigned char* src, int dstCapacity, unsigned char* dst);
// The encoding loop over a prepared record.
void Encode(_CParams* p);
