// Reads the queue's PPD and marks the job's choices in it, with libcups
// doing all option parsing. Used by the front end's main.
#include "queue_ppd.h"

#include <cups/cups.h>

#include <cstdio>
#include <cstdlib>

ppd_file_t* openMarkedPpd(const char* optionsText) {
  const char* path = getenv("PPD");
  if (path == nullptr || path[0] == '\0') return nullptr;
  ppd_file_t* ppd = ppdOpenFile(path);
  if (ppd == nullptr) return nullptr;

  cups_option_t* options = nullptr;
  const int count = cupsParseOptions(optionsText, 0, &options);
  ppdMarkDefaults(ppd);
  cupsMarkOptions(ppd, count, options);
  cupsFreeOptions(count, options);
  return ppd;
}

std::string pageSizeTrailer(ppd_file_t* ppd) {
  const ppd_size_t* size = ppdPageSize(ppd, nullptr);
  if (size == nullptr || size->width <= 0 || size->length <= 0) return std::string();
  char line[96];
  snprintf(line, sizeof line, "%%%%BoundingBox: 0 0 %d %d\n", int(size->width), int(size->length));
  return line;
}
