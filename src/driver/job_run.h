// The job after its capture: Ghostscript renders the capture file while the
// printer job stream goes out, each page as soon as gs has finished it, and
// the run ends with the trailer, the removal of the job's files and the exit
// status. Also the end of a job cancelled by SIGTERM.
#pragma once

// True when pages go out while gs renders: the placeholder page image exists
// (so at least one page image will be found) and VORMEL_SEQUENTIAL is not
// "1" in the environment.
bool streamingWanted();

// Renders the job and sends its pages as they are finished. The output on
// standard output, in the capture file and in the error log is exactly that
// of renderThenSendJob (time stamps aside); only the moments differ.
// Returns the exit status.
int streamJob();

// Renders the whole job, counts the page images, then sends them.
// Returns the exit status.
int renderThenSendJob();
