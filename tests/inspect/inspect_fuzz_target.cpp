// Fuzz target for vormel-inspect's readers: the input is parsed as a whole
// job stream (each page image also read as PCX), again as a file read in
// chunks, which must give the same verdict, and, separately, as one PCX
// image. Any input must end in a result, never in a crash or an unbounded
// allocation. Built for libFuzzer with -DVORMEL_FUZZ=ON; its corpus is
// replayed by inspect_fuzz_replay_test.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "inspect/job_stream_parser.h"
#include "inspect/page_images.h"
#include "inspect/pcx_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  PageImageContext pages;
  JobReport report;
  StreamError error;
  const bool valid = parseJobStream(data, size, &report, &error, makePageSink(&pages));
  if (!valid && error.offset > size) __builtin_trap();  // a fault must lie inside the input
  if (valid) {
    for (const PageInfo& page : report.pages) {
      int64_t total = 0;
      for (const BandInfo& band : page.bands) total += band.length;
      if (total != page.imageSize) __builtin_trap();  // bands must add up to the image
    }
  }
  if (size > 0) {
    FILE* file = fmemopen(const_cast<uint8_t*>(data), size, "rb");
    if (file) {
      PageImageContext filePages;
      JobReport fileReport;
      StreamError fileError;
      const bool fileValid =
          parseJobStream(file, &fileReport, &fileError, makePageSink(&filePages), false);
      std::fclose(file);
      if (fileValid != valid || fileReport.streamSize != size ||
          fileReport.pageCount != report.pages.size() ||
          (!valid && (fileError.offset != error.offset || fileError.message != error.message)))
        __builtin_trap();  // the same bytes from a file must give the same verdict
    }
  }
  PcxImage image;
  std::string message;
  if (readPcx(data, size, &image, &message) &&
      image.lines.size() != static_cast<size_t>(image.height) * image.bytesPerLine)
    __builtin_trap();
  return 0;
}
