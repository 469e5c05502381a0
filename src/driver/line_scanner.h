// Scans the job for the two facts the printer stream needs from it: the page
// size from its "%%BoundingBox: " line and the resolution from its
// "<< /HWResolution" request. The job is fed in chunks of any size; lines are
// never held whole, so memory does not grow with a line's length.
#pragma once

#include <cstddef>
#include <string>

// Size of the token work area: a bounding-box line is split into tokens from
// at most its first kTokenAreaSize - 1 characters.
constexpr size_t kTokenAreaSize = 256;

// Starts a job: no line is open.
void startScan();

// The next `n` bytes of the job. Lines holding "%%BoundingBox: " set
// pageWid/pageLen and lines holding "<< /HWResolution" set xRes/yRes, as each
// line ends.
void scanChunk(const char* p, size_t n);

// The job has ended: its last line, should it lack a line feed, ends here.
void endScan();

// The scans for one line without its line feed (also used by tests). A line
// without the scan's marker changes nothing.
void scanBoundingBox(const std::string& line);
void scanResolution(const std::string& line);
