// Job cancellation: the spooler cancels a job by sending SIGTERM to its
// filters. The handler only writes a byte to a pipe that the relay loop
// watches, so the loop decides what happens next.
#pragma once

// Installs the SIGTERM handler. Returns the read end of the notification
// pipe (non-blocking, close-on-exec), or -1 when the pipe cannot be made.
int installCancelHandler();

// Empties the notification pipe after it has become readable.
void drainCancelPipe(int fd);

// Restores the default SIGTERM action; called in a child before it becomes
// another program.
void resetCancelHandler();
