// Test helpers that build inputs for the stream inspector: monochrome PCX
// images in the renderer's layout, and whole printer job streams framed the
// way the filter frames them, with bands compressed by the real encoder.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The 128-byte header of a monochrome PCX image in the renderer's layout
// (window 0,0 to width-1,height-1), with the given line length and
// resolution, for images whose data a test writes itself.
std::vector<uint8_t> makePcxHeader(int width, int height, int bytesPerLine, int xDpi, int yDpi);

// A width x height image with one bit per pixel (1 = white); `pattern`
// picks the pixels: 0 white, 1 stripes, 2 pseudo-random noise.
std::vector<uint8_t> makePcx(int width, int height, int pattern, int dpi = 203);

struct StreamParts {
  uint8_t control = '~';
  int32_t engineLength = 6000;
  int32_t engineWidth = 4000;
  int slashZero = -1;      // -1: no SLASH ZERO line
  std::string paperItems;  // e.g. ";CUT 3;LABELS 2"; empty: empty paper line
  bool rawPages = false;   // one line-feed-only COMP0 band per page
  bool cutOnce = false;
  bool uncompressedBands = false;  // every band as COMP0, as when the encoder fails
};

// The whole stream for `pages` (each a page image).
std::vector<uint8_t> buildStream(const StreamParts& parts,
                                 const std::vector<std::vector<uint8_t>>& pages);

// One band of a page image (at most 32768 bytes; all but a page's last band
// exactly 32768) and how many times it comes in a row.
struct BandRun {
  std::vector<uint8_t> band;
  int32_t count = 1;
};

// The whole stream for one page given band by band, so that a page of
// hundreds of megabytes can be built without holding it: each run's band is
// compressed once. The PCX line announces the sum of the bands.
std::vector<uint8_t> buildStreamOfBands(const StreamParts& parts, const std::vector<BandRun>& page);

// Offsets just after every line feed of `stream` (including inside band
// data), and the end; used to cut a stream at line boundaries.
std::vector<size_t> lineEnds(const std::vector<uint8_t>& stream);

std::vector<uint8_t> readFileBytes(const std::string& path);
void writeFileBytes(const std::string& path, const std::vector<uint8_t>& bytes);
