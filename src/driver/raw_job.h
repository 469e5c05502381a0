// Raw mode: the job text itself goes to the printer instead of pages.
#pragma once

#include <cstddef>

// Opens the unlinked spill file (in the job's directory, else /tmp) that
// keeps the job while it is captured. Without one, sendRawJob fails.
void startRawSpill();

// Keeps the next `n` bytes of the job (as captured, with plain line feeds).
void keepForRaw(const char* data, size_t n);

// Writes the job text kept, every line ended by CR LF, then one line feed to
// standard output and flushes. Returns the exit status: 0, or 1 with one
// "ERROR: " line on standard error when the job could not be kept (no spill
// file, or a write to it failed: nothing is written) or standard output
// failed.
int sendRawJob();
