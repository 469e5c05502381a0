// Reads the queue's PPD and marks the job's choices in it, with libcups
// doing all option parsing. Used by the front end's main.
#include "queue_ppd.h"

#include <cups/cups.h>

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
