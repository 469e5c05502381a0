// Turns one compressed band back into its bytes: the length header, then
// symbols of the adaptive code (literals and copy lengths), each copy followed
// by its offset, replayed against a 4096-byte history. Every count and offset
// is checked before it is used, so any input gives bytes or a clear error.
#include "band_decoder/band_decoder.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr int kHistorySize = 4096;
constexpr int kHistoryMask = kHistorySize - 1;
constexpr int kFirstPosition = 4036;  // history size minus the longest copy
constexpr int kMaxOffset = 4035;      // a copy never reaches unwritten history
constexpr int kFirstLengthSymbol = 256;
constexpr int kLengthBias = 251;  // copy length = symbol - 251 (5..60)
constexpr size_t kHeaderSize = 4;

// Lengths of the offset prefix code: how many codes of 1..8 bits. The codes
// are canonical: in order of the upper offset bits, shortest first.
constexpr int kOffsetCodeCount[9] = {0, 0, 0, 1, 3, 8, 12, 24, 16};

// A bit reader over the stream that follows the header.
struct BitReader {
  const uint8_t* bits;
  size_t bitCount;
  size_t pos;
};

bool readBits(BitReader* in, int n, int* value) {
  if (in->bitCount - in->pos < static_cast<size_t>(n)) return false;
  int v = 0;
  for (int i = 0; i < n; ++i, ++in->pos)
    v = (v << 1) | ((in->bits[in->pos >> 3] >> (7 - (in->pos & 7))) & 1);
  *value = v;
  return true;
}

// Reads the upper 6 offset bits in the prefix code. Returns 0..63, or -1
// when the bits run out.
int readOffsetHigh(BitReader* in) {
  int code = 0;
  int first = 0;
  int index = 0;
  for (int len = 1; len <= 8; ++len) {
    int bit = 0;
    if (!readBits(in, 1, &bit)) return -1;
    code |= bit;
    const int n = kOffsetCodeCount[len];
    if (code - first < n) return index + (code - first);
    index += n;
    first = (first + n) << 1;
    code <<= 1;
  }
  return -1;  // unreachable: the code is complete
}

bool fail(BandDecodeError* error, size_t byteOffset, const char* fmt, long long a = 0,
          long long b = 0, long long c = 0) {
  if (error) {
    char text[200];
    std::snprintf(text, sizeof text, fmt, a, b, c);
    error->byteOffset = byteOffset;
    error->message = text;
  }
  return false;
}

size_t byteOf(const BitReader& in) { return kHeaderSize + in.pos / 8; }

}  // namespace

bool decodeBand(const uint8_t* data, size_t size, std::vector<uint8_t>* out, BandDecodeError* error,
                size_t maxLength) {
  out->clear();
  if (size < kHeaderSize)
    return fail(error, size, "band ends after %lld bytes; expected a 4-byte length header",
                static_cast<long long>(size));
  const uint32_t n = static_cast<uint32_t>(data[0]) | static_cast<uint32_t>(data[1]) << 8 |
                     static_cast<uint32_t>(data[2]) << 16 | static_cast<uint32_t>(data[3]) << 24;
  if (n > maxLength)
    return fail(error, 0, "band length %lld in header exceeds the limit of %lld bytes", n,
                static_cast<long long>(maxLength));
  if (n == 0) {
    if (size > kHeaderSize)
      return fail(error, kHeaderSize, "%lld bytes follow a band of length 0; expected none",
                  static_cast<long long>(size - kHeaderSize));
    return true;
  }
  // A literal takes at least 1 bit, a copy of at most 60 bytes at least 10
  // (its symbol and its offset): a stream shorter than that cannot hold the
  // announced length, so say so before allocating for it.
  if (static_cast<uint64_t>(size - kHeaderSize) * 8 * 6 < n)
    return fail(error, size,
                "band of %lld bytes is too short for the %lld bytes its header announces",
                static_cast<long long>(size), n);
  out->reserve(n);

  uint8_t history[kHistorySize];
  std::memset(history, 0x20, kFirstPosition);
  std::memset(history + kFirstPosition, 0, kHistorySize - kFirstPosition);
  int cur = kFirstPosition;

  DecoderModel model;
  BitReader in{data + kHeaderSize, (size - kHeaderSize) * 8, 0};
  while (out->size() < n) {
    const size_t symbolAt = byteOf(in);
    const int symbol = model.readSymbol(in.bits, in.bitCount, &in.pos);
    if (symbol < 0) {
      out->clear();
      return fail(error, size,
                  "band ends inside the symbol code that starts at byte %lld; expected %lld "
                  "more bytes of the band",
                  static_cast<long long>(symbolAt), static_cast<long long>(n - out->size()));
    }
    model.count(symbol);
    if (symbol < kFirstLengthSymbol) {
      const uint8_t byte = static_cast<uint8_t>(symbol);
      history[cur] = byte;
      cur = (cur + 1) & kHistoryMask;
      out->push_back(byte);
      continue;
    }
    const int length = symbol - kLengthBias;
    const size_t offsetAt = byteOf(in);
    const int high = readOffsetHigh(&in);
    int low = 0;
    if (high < 0 || !readBits(&in, 6, &low)) {
      out->clear();
      return fail(error, size,
                  "band ends inside the offset of a copy of %lld bytes (offset starts at byte "
                  "%lld)",
                  length, static_cast<long long>(offsetAt));
    }
    const int offset = high * 64 + low;
    if (offset > kMaxOffset) {
      out->clear();
      return fail(error, offsetAt, "copy offset %lld exceeds the largest offset %lld", offset,
                  kMaxOffset);
    }
    if (static_cast<size_t>(length) > n - out->size()) {
      out->clear();
      return fail(error, symbolAt,
                  "copy of %lld bytes runs past the band length %lld (%lld bytes left)", length, n,
                  static_cast<long long>(n - out->size()));
    }
    // Byte by byte: a copy may overlap the bytes it is producing.
    int from = (cur - offset - 1) & kHistoryMask;
    for (int i = 0; i < length; ++i) {
      const uint8_t byte = history[from];
      history[cur] = byte;
      from = (from + 1) & kHistoryMask;
      cur = (cur + 1) & kHistoryMask;
      out->push_back(byte);
    }
  }

  // The last byte is completed by zero bits and nothing follows it.
  const size_t used = (in.pos + 7) / 8;
  if (kHeaderSize + used < size) {
    const size_t extra = size - kHeaderSize - used;
    out->clear();
    return fail(error, kHeaderSize + used,
                "%lld bytes follow the end of the band's stream; expected none",
                static_cast<long long>(extra));
  }
  int padding = 0;
  if (in.pos % 8 != 0 && readBits(&in, static_cast<int>(8 - in.pos % 8), &padding) &&
      padding != 0) {
    out->clear();
    return fail(error, size - 1, "padding bits of the last byte are not zero");
  }
  return true;
}
