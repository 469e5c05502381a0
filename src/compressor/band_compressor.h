// Band compressor: LZSS over a 4096-byte sliding window with adaptive Huffman
// coding of literals and match lengths. One _CParams record holds all state of
// one band's encode; the compressor has no other mutable state.
#pragma once

#include <cstdint>

// Window and match constants.
constexpr int kWindowSize = 4096;                      // ring positions 0..4095
constexpr int kMaxMatch = 60;                          // longest copy
constexpr int kMinMatch = 5;                           // shorter matches go out as literals
constexpr int kWindowStart = kWindowSize - kMaxMatch;  // 4036: first coding position
constexpr int kMirrorSize = kMaxMatch - 1;             // 59 bytes mirrored past the ring
constexpr int kNil = kWindowSize;                      // 4096: empty link
constexpr int kRootBase = kWindowSize + 1;             // 4097 + first byte: tree roots

// Adaptive Huffman constants.
constexpr int kSymbols = 256 + kMaxMatch - kMinMatch + 1;  // 312
constexpr int kNodes = 2 * kSymbols - 1;                   // 623
constexpr int kRoot = kNodes - 1;                          // 622
constexpr unsigned kMaxWeight = 0x8000;

constexpr int kHeaderSize = 4;  // little-endian band length before the bit stream

constexpr int kMaxBand = 32768;  // longest band the receiver accepts

// The state of one band's encode. Allocated zero-filled by the entry point,
// which owns it; the window bytes not yet written must be 0, since they take
// part in the match comparisons. Each field: meaning, range, owner.
struct _CParams {
  int32_t firstFill;  // bytes read into the first lookahead, 0..60; band encoder, read by nothing
  int32_t codeBytes;  // code bytes the bit writer produced, dropped ones included; bit writer, read
                      // by nothing
  int32_t auxCount;   // only cleared, by initCParams
  // Ring of window positions 0..4095, then a mirror of bytes 0..58 at
  // 4096..4154; every string is read as stored, never wrapping. Band encoder
  // writes, match finder reads.
  unsigned char window[kWindowSize + kMirrorSize];  // 4155
  int16_t
      bestOffset;  // distance back to the best match's first byte minus one, 0..4094; match finder
  int16_t bestLength;  // length of the best match, 0 (none) or 5..60; match finder, cut by the band
                       // encoder
  int16_t leftLink[kWindowSize +
                   1];  // 4097: smaller-side child of each position, or kNil; match finder
  int16_t rightLink[kWindowSize + 257];  // 4353: larger-side child of each position, then the 256
                                         // roots; match finder
  int16_t upLink[kWindowSize + 1];  // 4097: parent (position or root) of each position, kNil when
                                    // out; match finder
  uint16_t weight[kNodes + 1];  // 624: node weights in non-decreasing order, 623 a 0xFFFF sentinel;
                                // Huffman coder
  int16_t upNode[kNodes + kSymbols];  // 935: parent of each node 0..622 (root: 0), leaf of each
                                      // symbol at 623 + s; Huffman coder
  int16_t firstChild[kNodes];  // 623: first of a node's two children, or 623 + symbol at a leaf;
                               // Huffman coder
  uint16_t bitWord;            // waiting bits, left-aligned; bit writer
  uint8_t bitFill;             // number of waiting bits, 0..7 between calls; bit writer
  uint16_t spareWord;          // only cleared, by initCParams
  uint8_t spareByte;           // only cleared, by initCParams
  unsigned char* inData;       // the band being compressed, inSize bytes; owned by the caller
  unsigned char* outBuf;       // work buffer of max(inSize, 4) bytes receiving the compressed band;
                               // owned by the entry point
  int32_t inSize;              // band length, 0..kMaxBand; set by the entry point
  int32_t spareInt;            // set to 0 by the entry point, used by nothing
  int32_t inPos;               // next byte mgetc reads, 0..inSize; byte streams
  int32_t outLen;  // bytes held in outBuf, header included, 0..outCap once past the header; byte
                   // streams
  int32_t outCap;  // the limit mputc respects, equal to inSize; set by the entry point
};

// mgetc(p): the byte at inPos (0..255), advancing inPos; -1 once inPos has
// reached inSize, every time it is called again.
int mgetc(_CParams* p);
// mputc(v, p): stores the low 8 bits of v at outBuf + outLen and returns v;
// returns -1 and stores nothing once outLen has reached outCap.
int mputc(int v, _CParams* p);
// Clears the counters and the bit writer (firstFill, codeBytes, auxCount,
// bitWord, bitFill, spareWord, spareByte).
void initCParams(_CParams* p);

// Encode(len, src, dstCapacity, dst): compresses the len bytes at src (len
// 0..kMaxBand; the page transfer passes 1..32768) into dst. Returns the bytes
// stored: 4 (the header alone) for len <= 4; len itself when the band did not
// shrink (the stream in dst may then be cut short); otherwise the complete,
// shorter stream. Returns -1, dst untouched, when memory cannot be had, len
// is negative or the result exceeds dstCapacity. No global state: calls on
// different bands may run on different threads at once.
int Encode(int len, unsigned char* src, int dstCapacity, unsigned char* dst);
// The encoding loop over a record prepared by the entry point (zero-filled,
// inData, inSize 0..kMaxBand, outBuf of max(inSize, 4) bytes, outCap =
// inSize, inPos and outLen 0): writes the header and the coded tokens to
// outBuf through mputc, leaving outLen as the result.
void Encode(_CParams* p);

// The two halves of the entry point around the encoding loop, shared with any
// other loop over the same record. makeBandRecord(len, src): a record
// prepared as Encode(_CParams*) expects it, with its work buffer; nullptr
// when len is negative, src is null while len > 0, or memory cannot be had.
_CParams* makeBandRecord(int len, unsigned char* src);
// takeBandResult(p, dstCapacity, dst): copies the outLen bytes of the work
// buffer to dst and returns outLen, or returns -1 with dst untouched when
// they exceed dstCapacity. Frees the work buffer and the record either way.
int takeBandResult(_CParams* p, int dstCapacity, unsigned char* dst);
