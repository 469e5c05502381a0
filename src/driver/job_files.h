// Names and creates the job's files: temporary base path, placeholder page
// image, work directory, capture directory and capture file with its header.
#pragma once

// Fixes pTmpFname, dirLoc, debugDirLoc and saveFname, creates the placeholder
// pTmpFname + "_1" and the capture file (both exclusively, mode 0600), and
// writes the header comment (argument 0 first, no newline after the last
// argument) into saveFile, which stays open for the job text. In debug mode
// the directory debug block follows. Returns 0, or non-zero when no temporary
// base path could be obtained at all (the job cannot go on).
int makeJobFiles(int argc, char** argv);
