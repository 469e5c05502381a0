// The printer job stream around the page images: setup block, CONFIG block,
// paper line, the page frame, trailer, and the end of the run.
#pragma once

// No page image was found: debug block, the message on standard output.
// Returns the exit status (1).
int reportMissingImages();

// Setup block, CONFIG block, paper line and "WINDRV", in stream order.
void writeSetupBlock();
void writeConfigBlock();
void writePaperLine();
void writeWindrv();

// Sends pages 1..pageCount with outputFile, stopping at the first page that
// cannot be sent (debug block and error log line in debug mode). Returns the
// number of pages sent.
int sendPages(int pageCount);

// "WINDRVEND", the cut-once line and the state-restoring trailer.
void writeTrailer();

// Completion block or removal of the capture file and render log, then the
// exit status: 0 when every page went out and the printer took every byte;
// otherwise non-zero with one "ERROR: " line on standard error.
int finishJob(int renderStatus, int pageCount, int pagesSent);
