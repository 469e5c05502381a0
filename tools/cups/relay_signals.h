// Signals of the front end, turned into bytes on a pipe (self-pipe) that the
// relay loop polls: the spooler cancels a job with SIGTERM (SIGINT and SIGHUP
// are taken the same way), and SIGCHLD tells that vormel has ended. The loop
// decides what happens next; no handler does more than write one byte.
#pragma once

#include <signal.h>

// Installs the handlers for SIGTERM, SIGINT, SIGHUP and SIGCHLD, restarting
// interrupted system calls (poll still returns early). Returns the read end
// of the notification pipe (non-blocking, close-on-exec), or -1 when the pipe
// cannot be made; then no handler is installed.
int installRelaySignals();

// Empties the notification pipe after it has become readable. Returns true
// when a cancel signal was among the bytes read.
bool drainRelaySignals(int fd);

// Blocks every signal and returns the previous mask, so that a child forked
// now runs none of the front end's handlers before it has reset them.
sigset_t holdSignals();

// Restores a mask returned by holdSignals.
void releaseSignals(const sigset_t& saved);

// In a child before it becomes another program: restores the default
// actions of the handled signals and of SIGPIPE, then the mask `saved`.
void resetSignalsForChild(const sigset_t& saved);
