// Copies the job from its input into the capture file, picking up page size
// and resolution on the way; sends the job text itself in raw mode.
#pragma once

#include <cstdio>
#include <string>

// Reads `in` to its end line by line: every line goes to saveFile followed by
// a line feed, "%%BoundingBox: " lines set pageWid/pageLen and
// "<< /HWResolution" lines set xRes/yRes. Closes saveFile at the end. In raw
// mode the job text is also kept (outside memory) for sendRawJob.
void captureJob(FILE* in);

// Raw mode: writes the job text (every line ended by CR LF) and one final
// line feed to standard output and flushes. Returns the exit status.
int sendRawJob();

// The scans, for one line without its line feed (also used by tests).
void scanBoundingBox(const std::string& line);
void scanResolution(const std::string& line);
