// Sends one rendered page image to the printer as a framed series of bands.
// Called by the job stream once per page, in page order, between WINDRV and
// WINDRVEND; it calls nothing of the job back.
#pragma once

// Band size the page is cut into.
constexpr int kBandSize = 32768;

// Results of outputFile other than 0.
constexpr int kPageUnreadable =
    1;                            // cannot be opened or read, is 2^31 bytes or more, or reads short
constexpr int kPageNoMemory = 2;  // memory for the page cannot be had (nothing written)
constexpr int kPagePrinterFailed = 3;  // standard output failed while or before sending

// Sends the page image at `path`: "REPEAT;1", "PCX<size>;ROW1", the bands
// (compressed only when that is shorter; one line-feed-ended COMP0 band in raw
// page mode), "ENDPCX" and "PRINT", flushing after every band. The image is
// read band by band, never held whole. Then removes the image unless in debug
// mode (a failed removal is logged as ERROR-1 and the page still counts as
// sent). Returns 0 when the page was sent, or one of the results above.
// A page that cannot be opened, whose last byte cannot be read, or whose
// memory cannot be had writes nothing. Once "REPEAT" is out the frame is
// always completed: should the file fail or end early after that, the bytes
// it no longer gives go out as zeros, and the result is kPageUnreadable. An
// image that was not sent whole is never removed.
int outputFile(const char* path);
