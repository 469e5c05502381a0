// The one writer of bytes to standard output (the printer). Output is buffered
// by standard I/O; the first write or flush failure is remembered (sticky), so
// later writes are skipped and the job can end with a non-zero status.
#pragma once

#include <cstddef>
#include <string>

// Makes sure descriptor 1 is taken before the job opens any file: when
// standard output is closed at start, /dev/null is opened read-only there, so
// that printer writes fail (and are reported) instead of landing in a job file.
void guardPrinterOutput();

// Writes n bytes; returns 0, or -1 once standard output has failed.
int printerWrite(const void* data, size_t n);
// printf-style text to the printer; returns 0 or -1 as printerWrite.
int printerPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Flushes standard output; returns 0, or -1 when it (or an earlier write) failed.
int printerFlush();
// True once any write or flush to standard output has failed.
bool printerFailed();
// Text of the first failure ("Broken pipe", ...); empty while none happened.
std::string printerFailureText();
// Forgets a failure (tests that run several jobs' output in one process).
void resetPrinterOutput();
