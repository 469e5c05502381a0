// The one writer of bytes to standard output (the printer). Remembers the
// first write or flush failure so the job can end with a non-zero status.
#pragma once

#include <cstddef>

// Writes n bytes; returns 0, or -1 once standard output has failed.
int printerWrite(const void* data, size_t n);
// printf-style text to the printer; returns 0 or -1 as printerWrite.
int printerPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Flushes standard output; returns 0, or -1 when it (or an earlier write) failed.
int printerFlush();
// True once any write or flush to standard output has failed.
bool printerFailed();
