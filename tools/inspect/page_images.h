// What vormel-inspect does with each page image once its bands are read:
// measure it as a PCX and, when asked, write it out as PCX and PNG files.
#pragma once

#include <string>
#include <vector>

#include "inspect/job_stream_parser.h"
#include "inspect/report_writer.h"

struct PageImageContext {
  std::string extractDir;              // empty: nothing is written
  std::vector<PageImageInfo> images;   // filled page by page
  std::string ioError;                 // set when a file could not be written
};

// A sink for parseJobStream that reads every non-empty page image as PCX (an
// image that does not read makes the stream invalid) and, with an extract
// directory, writes "page-<n>.pcx" and "page-<n>.png" into it. A write
// failure stops the parse and is left in ctx->ioError.
PageSink makePageSink(PageImageContext* ctx);

// Creates `dir` unless it exists as a directory. Returns false with
// `message` otherwise.
bool prepareExtractDir(const std::string& dir, std::string* message);
