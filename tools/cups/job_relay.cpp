// The front end's one loop: job bytes into vormel, printer stream out of it,
// page accounting and cancellation, all driven by poll() in one thread.
// Called by the front end's main.
#include "job_relay.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "cancel_signal.h"
#include "page_frames.h"

namespace {

constexpr size_t kChunk = 65536;
constexpr size_t kHeldLimit = 65536;  // withheld non-stream output kept for the log

// Writes all of `data` to `fd`, retrying after interruptions. Returns false
// on a write error.
bool writeAll(int fd, const char* data, size_t length) {
  while (length > 0) {
    const ssize_t n = write(fd, data, length);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return false;
    }
    data += n;
    length -= size_t(n);
  }
  return true;
}

double nowSeconds() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// Forks and executes vormel with its standard input and output on pipes.
// Returns the child's pid, or -1; sets *toChild and *fromChild.
pid_t startVormel(const char* program, const std::vector<std::string>& words, int* toChild,
                  int* fromChild) {
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0) return -1;
  if (pipe2(out, O_CLOEXEC) != 0) {
    close(in[0]);
    close(in[1]);
    return -1;
  }
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program));
  for (const std::string& w : words) argv.push_back(const_cast<char*>(w.c_str()));
  argv.push_back(nullptr);

  const pid_t pid = fork();
  if (pid == 0) {
    resetCancelHandler();
    dup2(in[0], 0);
    dup2(out[1], 1);
    execv(program, argv.data());
    fprintf(stderr, "ERROR: cannot start %s: %s\n", program, strerror(errno));
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  if (pid < 0) {
    close(in[1]);
    close(out[0]);
    return -1;
  }
  fcntl(in[1], F_SETFL, O_NONBLOCK);
  *toChild = in[1];
  *fromChild = out[0];
  return pid;
}

// Feeding side of the loop: job bytes, then the trailer, then end of input.
struct Feed {
  int inputFd;
  int toChild;        // -1 once closed
  char buffer[kChunk];
  size_t begin, end;  // pending bytes in buffer
  bool inputDone;     // job input fully read
  bool trailerQueued;
  char lastByte;      // last job byte read, to end an unterminated last line
  const std::string* trailer;
};

void closeFeed(Feed& feed) {
  if (feed.toChild >= 0) close(feed.toChild);
  feed.toChild = -1;
}

// Refills the buffer from the job input (or with the trailer at its end).
void refillFeed(Feed& feed) {
  const ssize_t n = read(feed.inputFd, feed.buffer, sizeof feed.buffer);
  if (n > 0) {
    feed.begin = 0;
    feed.end = size_t(n);
    feed.lastByte = feed.buffer[n - 1];
    return;
  }
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
  // End of input (a read error ends it too): queue the trailer on a line of its own.
  feed.inputDone = true;
  std::string tail;
  if (feed.lastByte != '\n' && feed.lastByte != '\0') tail += '\n';
  tail += *feed.trailer;
  memcpy(feed.buffer, tail.data(), tail.size());
  feed.begin = 0;
  feed.end = tail.size();
  feed.trailerQueued = true;
}

// Pushes pending bytes into vormel; closes its input when all is sent.
void pushFeed(Feed& feed) {
  while (feed.begin < feed.end) {
    const ssize_t n = write(feed.toChild, feed.buffer + feed.begin, feed.end - feed.begin);
    if (n < 0) {
      if (errno == EAGAIN || errno == EINTR) return;
      closeFeed(feed);  // vormel stopped reading; it decides what to do
      return;
    }
    feed.begin += size_t(n);
  }
  if (feed.trailerQueued) closeFeed(feed);
}

// Output side: the printer stream (or withheld text), page accounting.
struct Relay {
  PageFrames frames;
  std::string held;
  int startState;  // -1 undecided, 1 printer stream, 0 something else
  bool failed;
};

void reportPages(int32_t completed, const PageFrames& frames) {
  for (int32_t k = completed; k > 0; --k) {
    const int32_t page = frames.pagesDone - k + 1;
    fprintf(stderr, "PAGE: %d 1\n", int(page));
    fprintf(stderr, "INFO: Sent label %d\n", int(page));
  }
  fflush(stderr);
}

void sendToPrinter(Relay& relay, const char* data, size_t length) {
  if (relay.failed) return;
  if (!writeAll(1, data, length)) {
    relay.failed = true;
    return;
  }
  reportPages(scanPageFrames(relay.frames, data, length), relay.frames);
}

void takeOutput(Relay& relay, const char* data, size_t length) {
  if (relay.startState == 1) {
    sendToPrinter(relay, data, length);
    return;
  }
  if (relay.held.size() < kHeldLimit)
    relay.held.append(data, std::min(length, kHeldLimit - relay.held.size()));
  if (relay.startState == -1) {
    relay.startState = checkStreamStart(relay.held.data(), relay.held.size());
    if (relay.startState == 1) {
      sendToPrinter(relay, relay.held.data(), relay.held.size());
      relay.held.clear();
    }
  }
}

}  // namespace

void relayJob(const char* program, const std::vector<std::string>& words, int inputFd,
              const std::string& jobTrailer, int cancelFd, RelayResult& result) {
  result = RelayResult{-1, 0, 0, false, false, false, std::string()};
  int toChild = -1, fromChild = -1;
  const pid_t pid = startVormel(program, words, &toChild, &fromChild);
  if (pid < 0) {
    result.startFailed = true;
    return;
  }

  static Feed feed;  // large buffer; one job per process
  feed = Feed{};
  feed.inputFd = inputFd;
  feed.toChild = toChild;
  feed.trailer = &jobTrailer;
  Relay relay{};
  relay.startState = -1;
  double killAt = 0;
  bool killed = false;
  char chunk[kChunk];

  while (fromChild >= 0) {
    struct pollfd fds[4];
    nfds_t count = 0;
    const bool havePending = feed.begin < feed.end;
    int feedSlot = -1, inputSlot = -1;
    if (feed.toChild >= 0 && havePending) {
      feedSlot = int(count);
      fds[count++] = {feed.toChild, POLLOUT, 0};
    } else if (feed.toChild >= 0 && !feed.inputDone) {
      inputSlot = int(count);
      fds[count++] = {feed.inputFd, POLLIN, 0};
    }
    const int outSlot = int(count);
    fds[count++] = {fromChild, POLLIN, 0};
    int cancelSlot = -1;
    if (cancelFd >= 0) {
      cancelSlot = int(count);
      fds[count++] = {cancelFd, POLLIN, 0};
    }

    int timeoutMs = -1;
    if (result.cancelled && !killed) {
      const double left = killAt - nowSeconds();
      timeoutMs = left > 0 ? int(left * 1000) + 1 : 0;
    }
    const int ready = poll(fds, count, timeoutMs);
    if (ready < 0 && errno != EINTR) break;

    if (result.cancelled && !killed && nowSeconds() >= killAt) {
      kill(pid, SIGKILL);
      killed = true;
    }
    if (ready <= 0) continue;

    if (cancelSlot >= 0 && fds[cancelSlot].revents != 0) {
      drainCancelPipe(cancelFd);
      if (!result.cancelled) {
        // No further job input; vormel finishes the page it is sending and its trailer.
        result.cancelled = true;
        closeFeed(feed);
        kill(pid, SIGTERM);
        killAt = nowSeconds() + kCancelGraceSeconds;
      }
    }
    if (inputSlot >= 0 && fds[inputSlot].revents != 0) refillFeed(feed);
    if (feedSlot >= 0 && fds[feedSlot].revents != 0) pushFeed(feed);
    if (fds[outSlot].revents != 0) {
      const ssize_t n = read(fromChild, chunk, sizeof chunk);
      if (n > 0) {
        const bool wasFailed = relay.failed;
        takeOutput(relay, chunk, size_t(n));
        if (relay.failed && !wasFailed) {
          // The printer is gone: stop vormel, nothing more can be delivered.
          closeFeed(feed);
          kill(pid, SIGTERM);
        }
      } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
        close(fromChild);
        fromChild = -1;
      }
    }
  }
  closeFeed(feed);

  // Wait for vormel; after a cancellation, no longer than the grace period.
  int status = 0;
  for (;;) {
    const pid_t r = waitpid(pid, &status, result.cancelled && !killed ? WNOHANG : 0);
    if (r == pid) break;
    if (r < 0 && errno != EINTR) break;
    if (r == 0) {
      if (nowSeconds() >= killAt) {
        kill(pid, SIGKILL);
        killed = true;
      } else {
        usleep(50000);
      }
    }
  }
  if (WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signalNumber = WTERMSIG(status);
  result.pagesSent = relay.frames.pagesDone;
  result.outputFailed = relay.failed;

  // Output that never became a printer stream goes out only after a clean exit.
  if (relay.startState != 1 && !relay.held.empty()) {
    if (result.exitStatus == 0 && !result.cancelled) {
      if (!writeAll(1, relay.held.data(), relay.held.size())) result.outputFailed = true;
    } else {
      result.heldText = relay.held;
    }
  }
}
