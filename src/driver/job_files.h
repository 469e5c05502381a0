// Names and creates the job's files: temporary base path, placeholder page
// image, work directory, capture directory and capture file with its header.
#pragma once

#include <string>

// Fixes tmpDirLoc, pTmpFname, dirLoc, debugDirLoc and saveFname, creates the
// job's own directory dirLoc (tmpDirLoc + "/" + base name, mode 0700), the
// placeholder pTmpFname + "_1" in it and the capture file, and writes the header comment
// (argument 0 first, no newline after the last argument) into saveFile, which
// stays open for the job text. In debug mode the directory debug block
// follows.
//
// The directory and both files are created exclusively (mode 0600 for the
// files): an existing file or link is never opened; when a name is taken, a
// fresh base name is chosen and everything is made again. A capture file that cannot be created for
// another reason leaves saveFile null and the job goes on (its writes are lost), as does a
// placeholder that cannot be created.
//
// Returns 0, or non-zero when no temporary base path could be obtained at all
// (no temporary directory, or no free name after many tries).
int makeJobFiles(int argc, char** argv);

// The directory the job's own directory goes into: TMPDIR when it names a
// safe directory (isSafeDirectory) this process can create files in, else
// "/tmp". Trailing slashes
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

// True when `path` resolves to a directory that, like every directory above
// it, is owned by root or this user and is either writable by nobody else or
// sticky: no other user can then swap anything made in it for their own.
bool isSafeDirectory(const std::string& path);

// Removes every file of the run but the error log: the capture file, the
// job's own directory and everything in it. Results are ignored.
void removeJobFiles();
