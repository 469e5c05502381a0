// The two views of an inspected job: a summary for people and JSON for
// scripts. Both show whatever was read, also when the stream is invalid.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "inspect/job_stream_parser.h"
#include "inspect/pcx_reader.h"

// What is known of one page's image besides its place in the stream.
struct PageImageInfo {
  bool measured = false;  // the PCX header and lines were read
  PcxImage image;         // dimensions only; lines are not kept
  std::string pcxPath;    // extracted files, empty when not written
  std::string pngPath;
};

struct InspectResult {
  std::string source;  // file name, or "-" for standard input
  JobReport job;
  std::vector<PageImageInfo> images;  // one per page of job.pages that was read whole
  bool valid = false;
  StreamError error;
};

// Writes the summary to `out`.
void printSummary(FILE* out, const InspectResult& result);
// Writes one JSON object (and a line feed) to `out`.
void printJson(FILE* out, const InspectResult& result);
