// Writes a decoded monochrome PCX page as a 1-bit greyscale PNG file, so that
// a person can see what the printer will print. Used by vormel-inspect.
#pragma once

#include <string>

#include "inspect/pcx_reader.h"

// Writes `image` (decoded lines required) to `path`, white as 1. Returns
// false with `message` when the file cannot be written.
bool writePng(const std::string& path, const PcxImage& image, std::string* message);
