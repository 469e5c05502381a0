// Test helpers that build inputs for the stream inspector: monochrome PCX
// images in the renderer's layout, and whole printer job streams framed the
// way the filter frames them, with bands compressed by the real encoder.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A width x height image with one bit per pixel (1 = white); `pattern`
// picks the pixels: 0 white, 1 stripes, 2 pseudo-random noise.
std::vector<uint8_t> makePcx(int width, int height, int pattern, int dpi = 203);

struct StreamParts {
  uint8_t control = '~';
  int32_t engineLength = 6000;
  int32_t engineWidth = 4000;
  int slashZero = -1;          // -1: no SLASH ZERO line
  std::string paperItems;      // e.g. ";CUT 3;LABELS 2"; empty: empty paper line
  bool rawPages = false;       // one line-feed-only COMP0 band per page
  bool cutOnce = false;
  bool uncompressedBands = false;  // every band as COMP0, as when the encoder fails
};

// The whole stream for `pages` (each a page image).
std::vector<uint8_t> buildStream(const StreamParts& parts,
                                 const std::vector<std::vector<uint8_t>>& pages);

// Offsets just after every line feed of `stream` (including inside band
// data), and the end; used to cut a stream at line boundaries.
std::vector<size_t> lineEnds(const std::vector<uint8_t>& stream);

std::vector<uint8_t> readFileBytes(const std::string& path);
void writeFileBytes(const std::string& path, const std::vector<uint8_t>& bytes);
