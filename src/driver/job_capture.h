// Copies the job from its input into the capture file, picking up page size
// and resolution on the way (and keeping it for raw mode).
#pragma once

#include <cstddef>
#include <cstdio>

// Reads `in` to its end (a read error ends it too) and copies it to saveFile:
// every line followed by a line feed, so the copy is the input itself plus a
// line feed when the last line lacks one; CR and NUL bytes are kept. A job
// that begins with the PDF header is copied without the comment header
// before it, so that Ghostscript reads it as PDF. Every
// chunk goes past the line scanner. Closes saveFile (and sets it to null). In
// raw mode the job is also kept for sendRawJob. Memory use does not grow with
// the job or with the length of its lines. Returns 0, or -1 when part of the
// job could not be written to the capture file (a full or failing disk), so
// that a job cut short is never rendered as if it were whole.
int captureJob(FILE* in);
