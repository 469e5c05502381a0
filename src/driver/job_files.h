// Names and creates the job's files: temporary base path, placeholder page
// image, work directory, capture directory and capture file with its header.
#pragma once

#include <string>

// Fixes pTmpFname, dirLoc, debugDirLoc and saveFname, creates the placeholder
// pTmpFname + "_1" and the capture file, and writes the header comment
// (argument 0 first, no newline after the last argument) into saveFile, which
// stays open for the job text. In debug mode the directory debug block
// follows.
//
// Both files are created exclusively with mode 0600: an existing file or link
// is never opened; when either name is taken, a fresh base name is chosen and
// both are made again. A capture file that cannot be created for another
// reason leaves saveFile null and the job goes on (its writes are lost), as
// does a placeholder that cannot be created.
//
// Returns 0, or non-zero when no temporary base path could be obtained at all
// (no temporary directory, or no free name after many tries).
int makeJobFiles(int argc, char** argv);

// The directory the temporary base path goes into: TMPDIR when it names a
// directory this process can create files in, else "/tmp". Trailing slashes
// are dropped. Empty when neither is a directory.
std::string chooseTempDir();

// A fresh base name: "vdq" followed by six letters and digits drawn at random.
std::string makeBaseName();

// Where makeJobFiles takes its base names from: makeBaseName, unless a test
// puts a predictable source here to plant files at the names it will try.
extern std::string (*baseNameSource)();

// True when a file can be created in `dir`; probes with a new, uniquely named
// file that is removed again, so no existing file is touched.
bool canCreateFileIn(const std::string& dir);
