// Sends one rendered page image to the printer as a framed series of bands.
#pragma once

// Band size the page is cut into, and the compressed band buffer's size.
constexpr int kBandSize = 32768;
constexpr int kCompressedBandBufferSize = 2 * kBandSize;

// Sends the page image at `path` (REPEAT/PCX header, bands, ENDPCX, PRINT) and
// removes it unless in debug mode. Returns 0 when the page was sent, non-zero
// when the file cannot be opened or read whole, or buffers cannot be had.
int outputFile(const char* path);
