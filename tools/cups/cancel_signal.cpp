// SIGTERM to a pipe byte (self-pipe): async-signal-safe, and wakes the relay
// loop's poll wherever it waits. Used by the front end's main and relay loop.
#include "cancel_signal.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace {

int cancelWriteFd = -1;

void onTerm(int) {
  const int saved = errno;
  const char byte = 'T';
  if (cancelWriteFd >= 0) (void)!write(cancelWriteFd, &byte, 1);
  errno = saved;
}

}  // namespace

int installCancelHandler() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return -1;
  cancelWriteFd = fds[1];

  struct sigaction action = {};
  action.sa_handler = onTerm;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a blocked write returns and the loop looks again
  sigaction(SIGTERM, &action, nullptr);
  return fds[0];
}

void drainCancelPipe(int fd) {
  char buffer[64];
  while (read(fd, buffer, sizeof buffer) > 0) {
  }
}

void resetCancelHandler() {
  struct sigaction action = {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGPIPE, &action, nullptr);
}
