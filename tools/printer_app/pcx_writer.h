// One monochrome page image in the PCX form that the page transfer sends as
// it is: version 2 header, one plane of one bit per dot, run-length coded
// rows, a set bit is a white dot. Written by the printer application for
// raster jobs, row by row as the rows arrive.
#pragma once

#include <cstdint>
#include <cstdio>

// Header size; the rows follow it.
constexpr int kPcxHeaderSize = 128;
// Longest run one count byte codes in these page images.
constexpr int kPcxLongestRun = 15;

// Bytes of one coded row before run-length coding: the width in bits rounded
// up to whole bytes, then to an even number of bytes.
int32_t pcxBytesPerRow(int32_t width);

// Writes the header of a `width` x `height` dot page at `dpi` dots per inch
// (all 1..65535) to `out`. Returns 0, or -1 when the write fails.
int writePcxHeader(FILE* out, int32_t width, int32_t height, int32_t dpi);

// Writes one row of the page to `out`. `blackBits` holds `width` dots, most
// significant bit first, a set bit for a black dot (bits past `width` are
// ignored). The row is inverted to the image's white-is-one form, the dots
// past `width` are clear bits, a byte that makes the row even repeats the
// last byte, and the row is run-length coded. Returns 0, or -1 when
// the write fails.
int writePcxRow(FILE* out, const uint8_t* blackBits, int32_t width);
