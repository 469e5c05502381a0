// Helpers of the compressor tests: hex rendering, one band compressed, and
// sample bands (runs, ramps, text, rows like those of a monochrome page
// image). Bytes are compared with describeDifference (byte_diff.h).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

// Bytes as upper-case hex pairs separated by spaces ("3C 00 E8").
std::string toHex(const uint8_t* data, size_t size);
std::string toHex(const Bytes& bytes);

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
