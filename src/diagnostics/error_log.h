// Time-stamped error log in the work directory.
#pragma once

#include <string>

// Local time as "YYYY-MM-DD HH:MM:SS" (19 characters).
std::string getTime();

// Appends "<time stamp> <message>\n" to dirLoc + "/err_" + base name + ".txt"
// (isError) or "/log_..." (not isError). Failures are silent.
void logMsg(bool isError, std::string message);
