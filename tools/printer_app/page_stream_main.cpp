// vormel-page-stream: writes the printer job stream for page images that are
// already made, exactly as vormel writes it around the pages it renders:
// setup block, CONFIG block, paper line, every page through the page
// transfer, trailer. Started by the printer application for raster jobs,
// with its standard output on a pipe to the printer.
//
//   vormel-page-stream DIR PAGES WIDTH LENGTH DPI [OPTION WORDS...]
//
// DIR holds the page images DIR/page_1 .. DIR/page_PAGES; WIDTH and LENGTH
// are the label in points, DPI the printer's resolution. Each page image is
// removed once sent. Exit status 0 when every page went out whole, else 1
// with one "ERROR: " line on standard error.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "driver/job_stream.h"
#include "driver/options.h"
#include "state/job_settings.h"
#include "state/printer_output.h"

namespace {

constexpr int kFixedArguments = 6;

bool readCount(const char* text, int32_t low, int32_t high, int32_t& value) {
  char* end = nullptr;
  const long n = strtol(text, &end, 10);
  if (end == text || *end != '\0' || n < low || n > high) return false;
  value = static_cast<int32_t>(n);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  guardPrinterOutput();
  setvbuf(stdout, nullptr, _IOFBF, BUFSIZ);

  int32_t pages = 0, width = 0, length = 0, dpi = 0;
  if (argc < kFixedArguments || !readCount(argv[2], 1, 100000, pages) ||
      !readCount(argv[3], 1, 100000, width) || !readCount(argv[4], 1, 100000, length) ||
      !readCount(argv[5], 1, 10000, dpi)) {
    fprintf(stderr, "Usage: %s DIR PAGES WIDTH LENGTH DPI [OPTION WORDS...]\n", argv[0]);
    return 2;
  }

  // The option words as vormel reads them, argument 0 included. The page
  // images are this run's own: debug mode would keep them, so it is off.
  std::vector<char*> words{argv[0]};
  for (int i = kFixedArguments; i < argc; ++i) words.push_back(argv[i]);
  parseOptions(static_cast<int>(words.size()), words.data());
  bDebug = false;
  pageWid = width;
  pageLen = length;
  xRes = yRes = dpi;
  tmpDirLoc = dirLoc = argv[1];
  pTmpFname = dirLoc + "/page";

  writeSetupBlock();
  writeConfigBlock();
  writePaperLine();
  writeWindrv();
  int sent = 0;
  while (sent < pages && sendPage(sent + 1) == 0) ++sent;
  writeTrailer();
  return finishJob(0, pages, sent);
}
