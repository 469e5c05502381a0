// Reads a monochrome PCX image as the renderer's pcxmono device writes it:
// a 128-byte header, then run-length coded scan lines of one bit per pixel.
// Used by vormel-inspect to measure each page image, check it against the
// label and picture it; the stream parser uses the header to refuse a page
// too large to take before it reads the rest of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr size_t kPcxHeaderSize = 128;

// The largest page image taken: 16 inches wide and 100 inches long at
// 600 dpi. No label printer prints wider than about 8.5 inches or a label
// longer than about 100 inches, and none prints finer than 600 dpi, yet an
// office page rendered by mistake (Letter, A4 or Legal, upright or turned,
// or A3 upright) still fits, so that it can be reported as not fitting the
// label rather than refused.
constexpr int32_t kMaxPcxWidth = 9600;                  // dots
constexpr int32_t kMaxPcxHeight = 60000;                // dots
constexpr int32_t kMaxPcxLineBytes = kMaxPcxWidth / 8;  // per scan line, padding included
// The decoded scan lines of the largest page: 72,000,000 bytes.
constexpr size_t kMaxPcxLinesBytes = static_cast<size_t>(kMaxPcxLineBytes) * kMaxPcxHeight;
// The largest PCX file of that page: every byte of its scan lines coded as a
// run of one (two bytes), after the header: 144,000,128 bytes.
constexpr size_t kMaxPcxFileBytes = kPcxHeaderSize + 2 * kMaxPcxLinesBytes;

struct PcxImage {
  int32_t width = 0;  // pixels
  int32_t height = 0;
  int32_t bytesPerLine = 0;  // per scan line, padding included
  int32_t xDpi = 0;
  int32_t yDpi = 0;
  bool oneIsWhite = true;      // what a set bit means, from the palette
  size_t dataBytes = 0;        // bytes of coded image data used after the header
  std::vector<uint8_t> lines;  // height x bytesPerLine bytes, when decoded
};

// Reads the 128-byte header only. Returns false with `message` (naming the
// byte offset in the image) for anything that is not a 1-bit, 1-plane,
// run-length coded PCX header with a non-empty window and enough bytes per
// line for its width.
bool readPcxHeader(const uint8_t* data, size_t size, PcxImage* image, std::string* message);

// True when `image` (a header read by readPcxHeader) is within the largest
// page taken (kMaxPcxWidth x kMaxPcxHeight dots, kMaxPcxLineBytes per
// line); otherwise false with `message` giving both sizes.
bool pcxWithinLimits(const PcxImage& image, std::string* message);

// Reads the header and checks every scan line; with `decodePixels` the
// lines are also kept in image->lines. Returns false with `message` (naming
// the byte offset in the image) for a bad header, a page beyond the limits,
// or data that ends early or runs past the last line. Refuses dimensions
// beyond the limits, or that the data could not possibly fill, before
// allocating for them.
bool readPcx(const uint8_t* data, size_t size, PcxImage* image, std::string* message,
             bool decodePixels = true);

// Walks the run-length data of a PCX image one scan line at a time, so that
// a page can be pictured without holding all of its lines. A run may go on
// from one line into the next, as long as it ends by the last line.
struct PcxScan {
  const uint8_t* data = nullptr;
  size_t size = 0;
  size_t in = kPcxHeaderSize;  // next coded byte
  size_t out = 0;              // bytes of scan lines produced so far
  size_t total = 0;            // bytes of scan lines the header asks for
  size_t lineBytes = 0;
  uint8_t runByte = 0;  // a run not yet finished at the last line end
  size_t runLeft = 0;
};

// Starts a scan over `size` bytes at `data`, whose header is `image`.
PcxScan startPcxScan(const uint8_t* data, size_t size, const PcxImage& image);

// Decodes the next scan line into `line` (image.bytesPerLine bytes; may be
// null to check the data only). Returns false with `message` when the data
// ends early or a run passes the last scan line. Call it image.height times.
bool nextPcxLine(PcxScan* scan, uint8_t* line, std::string* message);
