// Opening the job's text files for appending without following links or
// waiting on a FIFO.
#pragma once

#include <cstdio>
#include <string>

// Opens `path` for appending, creating it (mode 0600) when absent. A symbolic
// link at `path` is never followed and a FIFO never waited on: in a shared
// directory another user could otherwise point the job's log or capture file
// at a file of their choosing, or hang the job. Only a regular file owned by
// this user is opened. Returns nullptr when the file cannot be opened.
FILE* openForAppend(const std::string& path);
