// Time-stamped error log in the work directory. Called by the page transfer
// (a page image that could not be removed) and the job stream (a page that
// could not be sent, in debug mode).
#pragma once

#include <string>

// Local time of the call as "YYYY-MM-DD HH:MM:SS" (always 19 characters).
std::string getTime();

// Appends "<time stamp> <message>\n" to dirLoc + "/err_" + base name + ".txt"
// (isError) or dirLoc + "/log_" + base name + ".txt" (not isError), opening
// and closing the file for this one line. Failures are silent: the line is
// lost and the job goes on.
void logMsg(bool isError, std::string message);

// The one "ERROR: " line of a failed job, for the spooler's log and the
// person at the printer: "ERROR: " + `text` on standard error, flushed.
void reportJobError(const std::string& text);
