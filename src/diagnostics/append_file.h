// Opening the job's text files for appending without following links.
#pragma once

#include <cstdio>
#include <string>

// Opens `path` for appending, creating it (mode 0600) when absent. A symbolic
// link at `path` is never followed: in a shared directory another user could
// otherwise point the job's log or capture file at a file of theirs choosing.
// Returns nullptr when the file cannot be opened.
FILE* openForAppend(const std::string& path);
