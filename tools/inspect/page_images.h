// What vormel-inspect does with each page image once its bands are read:
// measure it as a PCX and, when asked, write it out as PCX and PNG files.
#pragma once

#include <string>
#include <vector>

#include "inspect/job_stream_parser.h"
#include "inspect/pcx_reader.h"

// What is known of one page's image besides its place in the stream.
struct PageImageInfo {
  bool measured = false;  // the PCX header and every scan line were read
  PcxImage image;         // dimensions only; lines are not kept
  std::string pcxPath;    // extracted files (as given, not escaped), empty when not written
  std::string pngPath;
};

struct PageImageContext {
  std::string extractDir;             // empty: nothing is written
  std::vector<PageImageInfo> images;  // filled page by page by makePageSink's sink
  std::string ioError;                // set when a file could not be written
};

// Reads the non-empty image `bytes` of `page` as PCX into `info` and, with an
// extract directory, writes "page-<n>.pcx" and "page-<n>.png" into it (an
// empty image gives an empty PCX file and no picture). Returns false with a
// printable `message` when the image is not a monochrome PCX or a file cannot
// be written; a write failure is also left in ctx->ioError.
bool takePageImage(PageImageContext* ctx, const PageInfo& page, const std::vector<uint8_t>& bytes,
                   PageImageInfo* info, std::string* message);

// A sink for parseJobStream that calls takePageImage for every page and
// keeps each PageImageInfo in ctx->images. An image that does not read makes
// the stream invalid; a write failure stops the parse.
PageSink makePageSink(PageImageContext* ctx);

// Creates `dir` unless it exists as a directory. Returns false with a
// printable `message` otherwise.
bool prepareExtractDir(const std::string& dir, std::string* message);
