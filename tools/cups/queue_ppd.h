// The queue's printer description with the job's choices marked.
#pragma once

#include <cups/ppd.h>

#include <string>

// Opens the PPD named by the PPD environment variable (set by the spooler),
// marks its defaults, then the job's options `optionsText` (the spooler's
// fifth argument, "name=value ..." as parsed by cupsParseOptions). Returns
// the PPD for ppdClose, or nullptr when there is no readable PPD.
ppd_file_t* openMarkedPpd(const char* optionsText);
