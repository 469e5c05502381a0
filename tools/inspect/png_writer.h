// Writes a monochrome PCX page as a 1-bit greyscale PNG file, so that a
// person can see what the printer will print. Used by vormel-inspect.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "inspect/pcx_reader.h"

// Writes the PCX image of `size` bytes at `data`, whose header is `image`
// (read by readPcx, so within the page limits and with data for every scan
// line), to `path`, white as 1. The scan lines are decoded one at a time;
// only one line is held. Returns false with `message` when the file cannot
// be written or the data does not decode.
bool writePng(const std::string& path, const PcxImage& image, const uint8_t* data, size_t size,
              std::string* message);
