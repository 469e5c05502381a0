// The job file named on the front end's command line: opened once, checked
// to be a job, and read by the relay from that one descriptor.
#pragma once

#include <string>

// Opens `path` for reading without blocking on a FIFO or device, and accepts
// it only when it is a regular file. Returns the descriptor (blocking again,
// close-on-exec), or -1 with `problem` set to the text of the spooler's
// ERROR line (without the prefix); nothing else is written anywhere.
int openJobFile(const char* path, std::string& problem);
