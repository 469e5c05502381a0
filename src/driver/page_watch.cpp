// Page completion and pacing. The watcher thread polls inotify on the work
// directory (IN_CLOSE_WRITE for a finished page, IN_CREATE when gs moves on
// to the next one), a pidfd for gs's end, and an eventfd through which the
// page loop tells it where it is; it notes what it sees, stops or continues
// gs, and wakes the page loop through a second eventfd. Without inotify or a
// pidfd it looks every few milliseconds instead.
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
#include "state/job_settings.h"
#include "transfer/quiet_thread.h"

namespace {

// How often the watcher looks when a kind of event cannot be had.
constexpr int kLookEveryMs = 5;
// Longest page number taken from a file name (nine digits fit an int).
constexpr size_t kPageDigits = 9;

int inotifyFd = -1;
int pidFd = -1;
int wakeFd = -1;      // page loop -> watcher: look again, or quit
int progressFd = -1;  // watcher -> page loop: something happened
std::thread watcher;

// Shared by the watcher and the page loop, under `lock`.
std::mutex lock;
pid_t renderPid = -1;
bool exited = true;
bool stopped = false;  // gs held back by SIGSTOP
bool quit = false;
std::set<int> closedPages;  // pages gs has closed after writing
int highestBegun = 1;       // highest page gs has created (1: the placeholder)
int pacedPage = 0;          // the page loop's page; 0: gs runs freely
bool waitingForPage = false;

bool entryExists(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
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

// The page number of a name base name + "_" + digits, or 0.
int pageOfName(const char* name) {
  const std::string prefix = baseName() + "_";
  if (strncmp(name, prefix.c_str(), prefix.size()) != 0) return 0;
  const char* digits = name + prefix.size();
  const size_t length = strlen(digits);
  if (length == 0 || length > kPageDigits || strspn(digits, "0123456789") != length ||
      digits[0] == '0')
    return 0;
  int page = 0;
  for (const char* d = digits; *d != '\0'; ++d) page = page * 10 + (*d - '0');
  return page;
}

// Notes every queued inotify event. Called with `lock` held.
void readPageEvents() {
  alignas(struct inotify_event) char buffer[4096];
  for (;;) {
    const ssize_t n = read(inotifyFd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(struct inotify_event)) <= n;) {
      const struct inotify_event* event =
          reinterpret_cast<const struct inotify_event*>(buffer + at);
      const int page = event->len > 0 ? pageOfName(event->name) : 0;
      if (page > 0) {
        if ((event->mask & IN_CLOSE_WRITE) != 0) closedPages.insert(page);
        if (page > highestBegun) highestBegun = page;
      }
      at += static_cast<ssize_t>(sizeof(struct inotify_event) + event->len);
    }
  }
}

// Without inotify: the pages that exist tell how far gs has got. Called
// with `lock` held.
void lookForPages() {
  while (entryExists(pageImageName(highestBegun + 1))) ++highestBegun;
}

// Whether gs has ended, when no pidfd tells. WNOWAIT leaves it waitable.
bool endedByLooking() {
  siginfo_t info;
  memset(&info, 0, sizeof info);
  if (waitid(P_PID, static_cast<id_t>(renderPid), &info, WEXITED | WNOHANG | WNOWAIT) == 0)
    return info.si_pid == renderPid;
  return errno == ECHILD;  // reaped elsewhere or never ours
}

// Whether `page` is finished by the signs at hand. Called with `lock` held.
bool finishedNow(int page) {
  if (!entryExists(pageImageName(page))) return false;
  return closedPages.count(page) != 0 || entryExists(pageImageName(page + 1));
}

// Stops gs once it is more than one finished page ahead of the page loop,
// continues it once it is not. Called with `lock` held, by the watcher only.
void pace() {
  if (exited) return;
  bool ahead =
      pacedPage > 0 && (closedPages.count(pacedPage + 1) != 0 || highestBegun >= pacedPage + 2);
  if (ahead && waitingForPage) ahead = finishedNow(pacedPage);
  if (ahead && !stopped) {
    stopped = kill(renderPid, SIGSTOP) == 0;
  } else if (!ahead && stopped) {
    kill(renderPid, SIGCONT);
    stopped = false;
  }
}

void watch(int) {
  const bool looking = inotifyFd < 0 || pidFd < 0;
  for (;;) {
    struct pollfd fds[3] = {{wakeFd, POLLIN, 0}, {inotifyFd, POLLIN, 0}, {pidFd, POLLIN, 0}};
    if (poll(fds, 3, looking ? kLookEveryMs : -1) < 0 && errno != EINTR) return;
    std::lock_guard<std::mutex> held(lock);
    if (fds[0].revents != 0) clearCounter(wakeFd);
    if (quit) return;
    if (inotifyFd >= 0)
      readPageEvents();
    else
      lookForPages();
    if (!exited && (pidFd >= 0 ? fds[2].revents != 0 : endedByLooking())) {
      exited = true;
      stopped = false;  // a stopped process does not end
    }
    pace();
    signalCounter(progressFd);
  }
}

void closeFd(int* fd) {
  if (*fd >= 0) close(*fd);
  *fd = -1;
}

}  // namespace

int openPageWatch() {
  closePageWatch();
  inotifyFd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (inotifyFd < 0) return -1;
  if (inotify_add_watch(inotifyFd, dirLoc.c_str(),
                        IN_CLOSE_WRITE | IN_CREATE | IN_MOVED_TO | IN_ONLYDIR) < 0) {
    closeFd(&inotifyFd);
    return -1;
  }
  return 0;
}

void watchRender(pid_t pid) {
  {
    std::lock_guard<std::mutex> held(lock);
    renderPid = pid;
    exited = pid <= 0;
    stopped = false;
    quit = false;
    pacedPage = 0;
    waitingForPage = false;
  }
#ifdef SYS_pidfd_open
  if (pid > 0) pidFd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#endif
  wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  progressFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (pid > 0 && wakeFd >= 0 && progressFd >= 0) watcher = startThreadWithoutSignals(watch, 0);
}

bool renderExited() {
  std::lock_guard<std::mutex> held(lock);
  // Without a watcher (it could not be started) the page loop looks itself.
  if (!exited && !watcher.joinable()) exited = endedByLooking();
  return exited;
}

bool pageFinished(int page) {
  std::lock_guard<std::mutex> held(lock);
  return finishedNow(page);
}

void pacePages(int page, bool waiting) {
  {
    std::lock_guard<std::mutex> held(lock);
    if (page == pacedPage && waiting == waitingForPage) return;
    pacedPage = page;
    waitingForPage = waiting;
  }
  if (wakeFd >= 0) signalCounter(wakeFd);
}

void waitForProgress() {
  struct pollfd fds[2] = {{progressFd, POLLIN, 0}, {cancelWakeFd(), POLLIN, 0}};
  // Without a watcher nothing signals progress: look again shortly.
  poll(fds, 2, watcher.joinable() ? -1 : kLookEveryMs);
  if (progressFd >= 0) clearCounter(progressFd);
}

void closePageWatch() {
  if (watcher.joinable()) {
    {
      std::lock_guard<std::mutex> held(lock);
      quit = true;
      if (stopped && !exited) kill(renderPid, SIGCONT);
      stopped = false;
    }
    signalCounter(wakeFd);
    watcher.join();
  }
  for (int* fd : {&inotifyFd, &pidFd, &wakeFd, &progressFd}) closeFd(fd);
  std::lock_guard<std::mutex> held(lock);
  closedPages.clear();
  highestBegun = 1;
  pacedPage = 0;
}
