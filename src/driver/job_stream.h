// The printer job stream around the page images: setup block, CONFIG block,
// paper line, the page frame, trailer, and the end of the run (removal of the
// job's files, exit status, the one "ERROR: " line on standard error).
#pragma once

#include <string>

// No page was rendered: missing-image debug block, "Unable to find image
// file: <dirLoc>/<base name>" on standard output, an "ERROR: " line on
// standard error saying `reason` (or, when it is empty, that no page image
// was found). Removes nothing. Returns the exit status (1).
int reportMissingImages(const std::string& reason);

// Setup block (page size in thousandths of an inch), CONFIG block, paper line
// and WINDRV, in stream order, each to standard output.
void writeSetupBlock();
void writeConfigBlock();
void writePaperLine();
void writeWindrv();

// Sends one page with outputFile and returns its result (0 when sent). A
// failure is remembered for the end-of-job message; nothing is reported yet.
int sendPage(int page);

// In debug mode, the page-error block and the ERROR-2 line in the error log
// for `page`, the page that could not be sent; nothing otherwise.
void reportPageFailure(int page);

// "WINDRVEND", the cut-once line when cutting after the job, and the trailer
// that restores the printer's state.
void writeTrailer();

// Flushes standard output, then the completion debug block (every job file
// stays) or the removal of the capture file. Returns the
// exit status: 0 when gs succeeded, every page went out and standard output
// took every byte; otherwise 1, with one line on standard error beginning
// "ERROR: " that says what went wrong.
int finishJob(int renderStatus, int pageCount, int pagesSent);

// The text of that line for the given outcome, empty when the job succeeded
// (also used by tests).
std::string describeJobFailure(int renderStatus, int pageCount, int pagesSent);
