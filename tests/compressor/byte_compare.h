// Helpers of the compressor tests: byte comparison that names the first
// differing offset with a hex window around it, hex rendering, and sample
// bands (runs, ramps, text, rows like those of a monochrome page image).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

// Bytes as upper-case hex pairs separated by spaces ("3C 00 E8").
std::string toHex(const uint8_t* data, size_t size);
std::string toHex(const Bytes& bytes);
// Parses the form toHex writes.
Bytes fromHex(const std::string& hex);

// Success when equal; otherwise names the first differing offset (or the
// length difference) and shows a hex window of both around it.
::testing::AssertionResult sameBytes(const Bytes& actual, const Bytes& expected);

// Compresses `band` with an ample destination; *result gets Encode's result
// and the returned bytes are the stored ones (empty on -1).
Bytes encodeBand(const Bytes& band, int* result);

// Deterministic sample bands.
Bytes randomBytes(size_t size, uint32_t seed);
Bytes runBytes(size_t size, uint8_t value);
Bytes rampBytes(size_t size);
Bytes textBytes(size_t size, uint32_t seed);
Bytes pcxRowBytes(size_t size, uint32_t seed);
// The least de Bruijn sequence of order 5 over the bytes 0x30..0x37.
Bytes deBruijnBand();
