// Shared helpers of the compressor tests (see sample_bands.h).
#include "sample_bands.h"

#include <algorithm>
#include <cstdio>
#include <functional>

#include "compressor/band_compressor.h"

std::string toHex(const uint8_t* data, size_t size) {
  std::string out;
  char buf[4];
  for (size_t i = 0; i < size; i++) {
    std::snprintf(buf, sizeof buf, "%02X", data[i]);
    if (i > 0) {
      out += ' ';
    }
    out += buf;
  }
  return out;
}

std::string toHex(const Bytes& bytes) { return toHex(bytes.data(), bytes.size()); }

Bytes encodeBand(const Bytes& band, int* result) {
  Bytes dst(band.size() + 16);
  Bytes src = band;  // Encode takes a non-const pointer
  *result =
      Encode(static_cast<int>(src.size()), src.data(), static_cast<int>(dst.size()), dst.data());
  dst.resize(*result < 0 ? 0 : static_cast<size_t>(*result));
  return dst;
}

// xorshift32: deterministic on every platform.
static uint32_t nextRandom(uint32_t* state) {
  uint32_t x = *state;
  x ^= x << 13;
  x ^= x >> 17;
  x ^= x << 5;
  return *state = x;
}

Bytes randomBytes(size_t size, uint32_t seed) {
  uint32_t state = seed * 2654435761u + 1;
  Bytes out(size);
  for (auto& b : out) b = static_cast<uint8_t>(nextRandom(&state) >> 24);
  return out;
}

Bytes runBytes(size_t size, uint8_t value) { return Bytes(size, value); }

Bytes rampBytes(size_t size) {
  Bytes out(size);
  for (size_t i = 0; i < size; i++) out[i] = static_cast<uint8_t>(i);
  return out;
}

Bytes textBytes(size_t size, uint32_t seed) {
  static const char* const words[] = {"SHIP", "TO:",  "ACME",  "Corp.", "Label", "weight",
                                      "kg",   "1200", "order", "No.",   "the",   "printer",
                                      "band", "of",   "road",  "42"};
  uint32_t state = seed * 2654435761u + 7;
  std::string text;
  while (text.size() < size) {
    text += words[nextRandom(&state) % 16];
    text += (nextRandom(&state) % 9 == 0) ? "\r\n" : " ";
  }
  return Bytes(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(size));
}

// Run-length coded rows as a monochrome page image holds them: mostly white
// (0xFF) runs with count bytes 0xC1..0xFF, some black marks in between.
Bytes pcxRowBytes(size_t size, uint32_t seed) {
  uint32_t state = seed * 2654435761u + 3;
  Bytes out;
  while (out.size() < size) {
    const int marks = static_cast<int>(nextRandom(&state) % 4);
    for (int m = 0; m < marks; m++) {
      out.push_back(static_cast<uint8_t>(0xC0 | (1 + nextRandom(&state) % 63)));
      out.push_back(0xFF);
      out.push_back(static_cast<uint8_t>(nextRandom(&state) & 0x3F));
      out.push_back(0xC4);
      out.push_back(0x00);
    }
    out.push_back(0xFF);
    out.push_back(0xFF);
  }
  out.resize(size);
  return out;
}

Bytes deBruijnBand() {
  // Lexicographically least sequence by the standard Lyndon-word recursion.
  const int k = 8, n = 5;
  std::vector<int> a(static_cast<size_t>(k * n), 0);
  Bytes out;
  std::function<void(int, int)> db = [&](int t, int period) {
    if (t > n) {
      if (n % period == 0) {
        for (int j = 1; j <= period; j++)
          out.push_back(static_cast<uint8_t>(0x30 + a[static_cast<size_t>(j)]));
      }
      return;
    }
    a[static_cast<size_t>(t)] = a[static_cast<size_t>(t - period)];
    db(t + 1, period);
    for (int j = a[static_cast<size_t>(t - period)] + 1; j < k; j++) {
      a[static_cast<size_t>(t)] = j;
      db(t + 1, t);
    }
  };
  db(1, 1);
  return out;
}
