// Sends one page image with outputFile in a process of its own and reports
// how far the process's peak resident size grew meanwhile; run by the page
// transfer tests.
//   page_memory_probe IMAGE HELPERS [raw]
// HELPERS is the number of band-coding helpers (0..3); "raw" sends in raw
// page mode. The page goes to /dev/null and the image stays (debug mode).
// Standard error gets one line: "result <outputFile's result> grown_kib <KiB>".
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "job_support.h"
#include "state/job_settings.h"
#include "transfer/band_coding.h"
#include "transfer/page_transfer.h"

namespace {

long peakKiB() {
  struct rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: page_memory_probe IMAGE HELPERS [raw]\n");
    return 2;
  }
  const int null = open("/dev/null", O_WRONLY);
  if (null < 0 || dup2(null, STDOUT_FILENO) < 0) return 2;
  close(null);

  const char* image = argv[1];
  const char* slash = strrchr(image, '/');
  setUpJobGlobals(slash != nullptr ? std::string(image, slash) : std::string("."));
  bDebug = true;
  PCXraw = argc > 3 && strcmp(argv[3], "raw") == 0;
  setBandCodingHelpers(atoi(argv[2]));

  const long before = peakKiB();
  const int result = outputFile(image);
  const long after = peakKiB();
  fprintf(stderr, "result %d grown_kib %ld\n", result, after - before);
  return 0;
}
