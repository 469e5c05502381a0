// Cancellation of a job by SIGTERM (the spooler's way of cancelling), SIGINT
// or SIGHUP. While
// the job is being read the handler itself removes the job's files and ends
// the run; from rendering on it only records the request, which the job's
// loops act on between steps (see job_run.h).
#pragma once

// Installs the handler of the three signals (restarting interrupted system calls, so that
// a request never cuts a write to the printer short). Until the job files
// exist, a request ends the run at once: an "INFO: " line, status 1.
void armCancellation();

// Holds a request back while the job files are being made, so that none can
// be created after the handler has looked for them.
void holdCancellation();

// Takes note of the placeholder and capture file names (pTmpFname, saveFname),
// which a request while the job is read removes before ending the run, then
// lets a held request through. Call after makeJobFiles, whatever its result.
void noteJobFilesForCancellation();

// From here on a request is only recorded: cancelRequested() turns true and
// cancelWakeFd() becomes readable, so a poll wakes up for it.
void enterCancellableJob();

// True once a cancelling signal was received in the cancellable stage.
bool cancelRequested();

// Read end of the self-pipe that the handler writes one byte into; -1 when it
// could not be made (then only the flag and poll's EINTR tell).
int cancelWakeFd();
