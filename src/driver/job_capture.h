// Copies the job from its input into the capture file, picking up page size
// and resolution on the way; sends the job text itself in raw mode.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

// Reads `in` to its end (a read error ends it too) and copies it to saveFile:
// every line followed by a line feed, so the copy is the input itself plus a
// line feed when the last line lacks one; CR and NUL bytes are kept. Lines
// holding "%%BoundingBox: " set pageWid/pageLen and lines holding
// "<< /HWResolution" set xRes/yRes. Closes saveFile (and sets it to null). In
// raw mode the job is also kept for sendRawJob, in an unlinked spill file
// rather than in memory. Memory use does not grow with the job or with the
// length of its lines. Returns 0, or -1 when part of the job could not be
// written to the capture file (a full or failing disk), so that a job cut
// short is never rendered as if it were whole.
int captureJob(FILE* in);

// Raw mode, after captureJob: writes the job text, every line ended by CR LF,
// then one line feed to standard output and flushes. Returns the exit status:
// 0, or 1 (with one "ERROR: " line on standard error and nothing written) when
// the job could not be kept, or 1 when standard output failed.
int sendRawJob();

// The scans for one line without its line feed (also used by tests). A line
// without the scan's marker changes nothing.
void scanBoundingBox(const std::string& line);
void scanResolution(const std::string& line);

// Size of the token work area: a bounding-box line is split into tokens from
// at most its first kTokenAreaSize - 1 characters.
constexpr size_t kTokenAreaSize = 256;
