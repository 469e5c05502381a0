// The queue's printer description with the job's choices marked.
#pragma once

#include <cups/ppd.h>

#include <string>

// Opens the PPD named by the PPD environment variable (set by the spooler),
// marks its defaults, then the job's options `optionsText` (the spooler's
// fifth argument, "name=value ..." as parsed by cupsParseOptions). Returns
// the PPD for ppdClose, or nullptr when there is no readable PPD.
ppd_file_t* openMarkedPpd(const char* optionsText);

// The line appended to the job so that vormel announces the label's real
// size: "%%BoundingBox: 0 0 W L" and a line feed, with the marked page size
// in whole points. A landscape job is rotated onto the label, so its own
// bounding box has width and length swapped; the last bounding box of the
// job is the one vormel uses. Empty when no page size is marked.
std::string pageSizeTrailer(ppd_file_t* ppd);
