// Page completion: inotify events on the work directory (IN_CLOSE_WRITE for
// a finished page, IN_CREATE when gs moves on to the next one), a pidfd for
// gs's end, the cancellation self-pipe, one poll for all three. While pages
// are sent, a pacing thread reads the events as they come and stops gs the
// moment it gets too far ahead, however busy the job's own thread is.
#include "driver/page_watch.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "driver/job_cancel.h"
#include "transfer/quiet_thread.h"
#include "state/job_settings.h"

namespace {

// How long a wait lasts at most. Events wake the loop at once; the timeout
// only matters when an event was lost (a full event queue) or a descriptor
// is missing, and then only re-checks the same signs.
constexpr int kWaitWithEventsMs = 100;
constexpr int kWaitWithoutEventsMs = 5;
// Longest page number taken from a file name (nine digits fit an int).
constexpr size_t kPageDigits = 9;

bool pagesWatched = false;  // openPageWatch was called (even if it failed)
int inotifyFd = -1;
int pidFd = -1;

// Shared with the pacing thread, under `watchLock`.
std::mutex watchLock;
pid_t renderPid = -1;
bool exited = false;
bool stopped = false;       // gs held back by SIGSTOP
std::set<int> closedPages;  // pages gs has closed after writing
int highestBegun = 1;       // highest page gs has created (1: the placeholder)
int pacedPage = 0;          // page gs is kept near; 0: gs runs freely
bool waitingForPage = false;  // pacedPage is not sent yet but waited for

// The pacing thread and the two event counters it waits on and signals.
std::thread pacer;
int quitFd = -1;      // tells the pacing thread to end
int progressFd = -1;  // the pacing thread saw a page event

bool entryExists(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

// The page number of a name base name + "_" + digits, or 0.
int pageOfName(const char* name) {
  const std::string prefix = baseName() + "_";
  if (strncmp(name, prefix.c_str(), prefix.size()) != 0)
    return 0;
  const char* digits = name + prefix.size();
  const size_t length = strlen(digits);
  if (length == 0 || length > kPageDigits || strspn(digits, "0123456789") != length ||
      digits[0] == '0')
    return 0;
  int page = 0;
  for (const char* d = digits; *d != '\0'; ++d)
    page = page * 10 + (*d - '0');
  return page;
}

// Reads every queued event and notes the pages closed after writing;
// returns whether there was any. Called with watchLock held.
bool drainEvents() {
  if (inotifyFd < 0)
    return false;
  bool seen = false;
  alignas(struct inotify_event) char buffer[4096];
  for (;;) {
    const ssize_t n = read(inotifyFd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return seen;
    seen = true;
    for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(struct inotify_event)) <= n;) {
      const struct inotify_event* event = reinterpret_cast<const struct inotify_event*>(buffer + at);
      const int page = event->len > 0 ? pageOfName(event->name) : 0;
      if (page > 0) {
        if ((event->mask & IN_CLOSE_WRITE) != 0)
          closedPages.insert(page);
        if (page > highestBegun)
          highestBegun = page;
      }
      at += static_cast<ssize_t>(sizeof(struct inotify_event) + event->len);
    }
  }
}

// Whether `page` is finished by the signs at hand. Called with watchLock
// held.
bool finishedNow(int page) {
  if (!entryExists(pageImageName(page)))
    return false;
  return closedPages.count(page) != 0 || entryExists(pageImageName(page + 1));
}

// Keeps gs at most one finished page ahead of pacedPage: stopped as soon as
// it has finished pacedPage + 1, at the latest when it has begun the page
// after that; continued once it is no longer ahead. While the job's thread
// waits for pacedPage, gs is stopped only once that page is finished, so the
// wait always ends: a page gs skipped is decided by gs's end, and gs must
// run to get there. Called with watchLock held.
void pace() {
  if (exited || renderPid <= 0)
    return;
  bool ahead = pacedPage > 0 && (closedPages.count(pacedPage + 1) != 0 || highestBegun >= pacedPage + 2);
  if (ahead && waitingForPage)
    ahead = finishedNow(pacedPage);
  if (ahead && !stopped) {
    stopped = kill(renderPid, SIGSTOP) == 0;
  } else if (!ahead && stopped) {
    kill(renderPid, SIGCONT);
    stopped = false;
  }
}

// Keeps gs near `page`, sent now or (`waiting`) waited for.
void paceAround(int page, bool waiting) {
  std::lock_guard<std::mutex> held(watchLock);
  pacedPage = page;
  waitingForPage = waiting;
  drainEvents();
  pace();
}

void signalCounter(int fd) {
  const uint64_t one = 1;
  while (write(fd, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

void clearCounter(int fd) {
  uint64_t value;
  while (read(fd, &value, sizeof value) < 0 && errno == EINTR) {
  }
}

// The pacing thread: wakes on every page event, notes it, paces gs and
// wakes the job's thread should it be waiting.
void pacingLoop(int) {
  for (;;) {
    struct pollfd fds[2] = {{inotifyFd, POLLIN, 0}, {quitFd, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0 && errno != EINTR)
      return;
    if (fds[1].revents != 0)
      return;
    std::lock_guard<std::mutex> held(watchLock);
    if (drainEvents())
      signalCounter(progressFd);
    pace();
  }
}

void stopPacer() {
  if (pacer.joinable()) {
    signalCounter(quitFd);
    pacer.join();
  }
  for (int* fd : {&quitFd, &progressFd}) {
    if (*fd >= 0)
      close(*fd);
    *fd = -1;
  }
}

}  // namespace

int openPageWatch() {
  closePageWatch();
  pagesWatched = true;
  inotifyFd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (inotifyFd < 0)
    return -1;
  if (inotify_add_watch(inotifyFd, dirLoc.c_str(), IN_CLOSE_WRITE | IN_CREATE | IN_MOVED_TO | IN_ONLYDIR) < 0) {
    close(inotifyFd);
    inotifyFd = -1;
    return -1;
  }
  return 0;
}

void watchRender(pid_t pid) {
  stopPacer();
  {
    std::lock_guard<std::mutex> held(watchLock);
    renderPid = pid;
    exited = pid <= 0;
    stopped = false;
    pacedPage = 0;
    waitingForPage = false;
  }
  if (pidFd >= 0)
    close(pidFd);
  pidFd = -1;
#ifdef SYS_pidfd_open
  if (pid > 0)
    pidFd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#endif
  if (pid > 0 && inotifyFd >= 0) {
    quitFd = eventfd(0, EFD_CLOEXEC);
    progressFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (quitFd >= 0 && progressFd >= 0)
      pacer = startThreadWithoutSignals(pacingLoop, 0);
    else
      stopPacer();
  }
}

bool renderExited() {
  if (exited || renderPid <= 0)
    return true;
  // WNOWAIT leaves gs waitable, so finishRender still gets its status.
  siginfo_t info;
  memset(&info, 0, sizeof info);
  // Once set, exited keeps the pacing thread from signalling a pid that is
  // about to be reaped (and could then be reused).
  std::lock_guard<std::mutex> held(watchLock);
  if (waitid(P_PID, static_cast<id_t>(renderPid), &info, WEXITED | WNOHANG | WNOWAIT) == 0) {
    exited = info.si_pid == renderPid;
  } else if (errno == ECHILD) {
    exited = true;  // reaped elsewhere or never ours: nothing left to wait for
  }
  return exited;
}

bool pageFinished(int page) {
  std::lock_guard<std::mutex> held(watchLock);
  drainEvents();
  pace();
  return finishedNow(page);
}

void paceRender(int page) { paceAround(page, false); }

void paceWhileWaiting(int page) { paceAround(page, true); }

void waitForProgress() {
  struct pollfd fds[3];
  nfds_t count = 0;
  // With the pacing thread running, it reads the page events and passes
  // them on through progressFd.
  const int pageEvents = progressFd >= 0 ? progressFd : inotifyFd;
  for (const int fd : {pageEvents, exited ? -1 : pidFd, cancelWakeFd()}) {
    if (fd >= 0) {
      fds[count].fd = fd;
      fds[count].events = POLLIN;
      fds[count].revents = 0;
      ++count;
    }
  }
  const bool allSigns = (inotifyFd >= 0 || !pagesWatched) && (pidFd >= 0 || exited);
  poll(fds, count, allSigns ? kWaitWithEventsMs : kWaitWithoutEventsMs);
  if (progressFd >= 0)
    clearCounter(progressFd);
  std::lock_guard<std::mutex> held(watchLock);
  drainEvents();
}

void closePageWatch() {
  stopPacer();
  if (inotifyFd >= 0)
    close(inotifyFd);
  if (pidFd >= 0)
    close(pidFd);
  inotifyFd = pidFd = -1;
  pagesWatched = false;
  closedPages.clear();
  highestBegun = 1;
}
