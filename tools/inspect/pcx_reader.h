// Reads a monochrome PCX image as the renderer's pcxmono device writes it:
// a 128-byte header, then run-length coded scan lines of one bit per pixel.
// Used by vormel-inspect to measure and picture each page image.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr size_t kPcxHeaderSize = 128;

struct PcxImage {
  int32_t width = 0;         // pixels
  int32_t height = 0;
  int32_t bytesPerLine = 0;  // per scan line, padding included
  int32_t xDpi = 0;
  int32_t yDpi = 0;
  bool oneIsWhite = true;    // what a set bit means, from the palette
  size_t dataBytes = 0;      // bytes of coded image data used after the header
  std::vector<uint8_t> lines;  // height x bytesPerLine bytes, when decoded
};

// Reads the header and, when `decodePixels`, the scan lines. Returns false
// with `message` (naming the byte offset in the image) for anything that is
// not a 1-bit, 1-plane, run-length coded PCX or that ends early. Refuses
// dimensions the data could not possibly fill before allocating for them.
bool readPcx(const uint8_t* data, size_t size, PcxImage* image, std::string* message,
             bool decodePixels = true);
