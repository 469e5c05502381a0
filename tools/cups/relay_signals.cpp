// Signal handlers of the front end: each writes one byte naming its signal to
// a pipe, which is async-signal-safe and wakes the relay loop's poll wherever
// it waits. Used by the front end's main (install) and relay loop.
#include "relay_signals.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace {

constexpr int kCancelSignals[] = {SIGTERM, SIGINT, SIGHUP};
constexpr char kCancelByte = 'T';
constexpr char kChildByte = 'C';

int notifyWriteFd = -1;

void notify(char byte) {
  const int saved = errno;
  // A full pipe drops the byte; the ones already in it wake the loop anyway.
  if (notifyWriteFd >= 0) (void)!write(notifyWriteFd, &byte, 1);
  errno = saved;
}

void onCancel(int) { notify(kCancelByte); }
void onChild(int) { notify(kChildByte); }

void setAction(int signalNumber, void (*handler)(int), int flags) {
  struct sigaction action = {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = flags;
  sigaction(signalNumber, &action, nullptr);
}

}  // namespace

int installRelaySignals() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return -1;
  notifyWriteFd = fds[1];
  // Restarting keeps log lines and PPD reading whole; nothing waits in a
  // blocking call that a cancel would have to cut short.
  for (const int s : kCancelSignals) setAction(s, onCancel, SA_RESTART);
  setAction(SIGCHLD, onChild, SA_RESTART | SA_NOCLDSTOP);
  return fds[0];
}

bool drainRelaySignals(int fd) {
  bool cancel = false;
  char buffer[64];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) {
    for (ssize_t i = 0; i < n; ++i) cancel = cancel || buffer[i] == kCancelByte;
  }
  return cancel;
}

sigset_t holdSignals() {
  sigset_t all, saved;
  sigfillset(&all);
  sigprocmask(SIG_SETMASK, &all, &saved);
  return saved;
}

void releaseSignals(const sigset_t& saved) { sigprocmask(SIG_SETMASK, &saved, nullptr); }

void resetSignalsForChild(const sigset_t& saved) {
  for (const int s : kCancelSignals) setAction(s, SIG_DFL, 0);
  setAction(SIGCHLD, SIG_DFL, 0);
  setAction(SIGPIPE, SIG_DFL, 0);
  releaseSignals(saved);
}
