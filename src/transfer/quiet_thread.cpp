// Threads started with every signal blocked.
#include "transfer/quiet_thread.h"

#include <pthread.h>

#include <csignal>

std::thread startThreadWithoutSignals(void (*body)(int), int arg) {
  sigset_t all;
  sigset_t saved;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &saved);
  std::thread thread(body, arg);
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  return thread;
}
