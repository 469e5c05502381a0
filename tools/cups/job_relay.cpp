// The front end's one loop: job bytes into vormel, printer stream out of it,
// page accounting, cancellation and vormel's end, all driven by poll() in one
// thread. No call in the loop blocks: the job input and vormel's output are
// read only when poll says so, and both vormel's input and our standard
// output are non-blocking. Called by the front end's main.
#include "job_relay.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "page_frames.h"
#include "relay_signals.h"

namespace {

constexpr size_t kChunk = 65536;
constexpr size_t kHeldLimit = 65536;  // withheld non-stream output kept for the log

double nowSeconds() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// Forks and executes vormel with its standard input and output on pipes.
// Returns the child's pid, or -1; sets *toChild (non-blocking) and *fromChild.
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

  // Signals wait until the child has dropped our handlers, so a cancel aimed
  // at us is never taken by the child in between.
  const sigset_t savedMask = holdSignals();
  const pid_t pid = fork();
  if (pid == 0) {
    resetSignalsForChild(savedMask);
    dup2(in[0], 0);
    dup2(out[1], 1);
    execv(program, argv.data());
    fprintf(stderr, "ERROR: cannot start %s: %s\n", program, strerror(errno));
    _exit(127);
  }
  releaseSignals(savedMask);
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

// Feeding side of the loop: the leading text, job bytes, then the trailer,
// then end of input.
struct Feed {
  int inputFd;          // -1 when there is no job input
  int toChild;          // -1 once closed
  std::string pending;  // bytes for vormel, from begin on
  size_t begin;
  bool inputDone;  // job input fully read
  bool trailerQueued;
  char lastByte;  // last byte queued before the trailer, to end an unterminated last line
  const std::string* trailer;
};

void closeFeed(Feed& feed) {
  if (feed.toChild >= 0) close(feed.toChild);
  feed.toChild = -1;
}

size_t feedPending(const Feed& feed) { return feed.pending.size() - feed.begin; }

// Queues the trailer on a line of its own; the job input is at its end.
void queueTrailer(Feed& feed) {
  feed.inputDone = true;
  if (feed.lastByte != '\n' && feed.lastByte != '\0') feed.pending += '\n';
  feed.pending += *feed.trailer;
  feed.trailerQueued = true;
}

// Refills the pending bytes from the job input, or with the trailer at its
// end. Returns 0, or the errno of a read error (the job is then incomplete
// and nothing more is queued).
int refillFeed(Feed& feed) {
  static char chunk[kChunk];
  const ssize_t n = read(feed.inputFd, chunk, sizeof chunk);
  if (n > 0) {
    feed.pending.assign(chunk, size_t(n));
    feed.begin = 0;
    feed.lastByte = chunk[n - 1];
    return 0;
  }
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return 0;
  if (n < 0) {
    feed.inputDone = true;
    return errno;
  }
  feed.pending.clear();
  feed.begin = 0;
  queueTrailer(feed);
  return 0;
}

// Pushes pending bytes into vormel; closes its input when all is sent.
void pushFeed(Feed& feed) {
  while (feedPending(feed) > 0) {
    const size_t length = std::min(feedPending(feed), kChunk);
    const ssize_t n = write(feed.toChild, feed.pending.data() + feed.begin, length);
    if (n < 0) {
      if (errno == EAGAIN || errno == EINTR) return;
      closeFeed(feed);  // vormel stopped reading; it decides what to do
      return;
    }
    feed.begin += size_t(n);
  }
  if (feed.trailerQueued) closeFeed(feed);
}

// Output side: the printer stream (or withheld text) on its way to standard
// output, and the page accounting of what has been written.
struct Relay {
  PageFrames frames;
  std::string held;     // first output, until it shows itself a printer stream
  int startState;       // -1 undecided, 1 printer stream, 0 something else
  std::string pending;  // bytes for the printer, from pendingBegin on
  size_t pendingBegin;
  bool givenUp;  // nothing more goes to the printer
  bool cut;      // bytes for the printer were dropped
};

size_t pendingSize(const Relay& relay) { return relay.pending.size() - relay.pendingBegin; }

void giveUpOutput(Relay& relay) {
  if (pendingSize(relay) > 0) relay.cut = true;
  relay.givenUp = true;
  relay.pending.clear();
  relay.pendingBegin = 0;
}

void reportPages(int32_t completed, const PageFrames& frames) {
  for (int32_t k = completed; k > 0; --k) {
    const int32_t page = frames.pagesDone - k + 1;
    fprintf(stderr, "PAGE: %d 1\n", int(page));
    fprintf(stderr, "INFO: Sent label %d\n", int(page));
  }
  fflush(stderr);
}

// Takes vormel's output: queued for the printer once it is known to be a
// printer stream, withheld (up to kHeldLimit) while undecided or when not.
void takeOutput(Relay& relay, const char* data, size_t length) {
  if (relay.givenUp) {
    relay.cut = true;
    return;
  }
  if (relay.startState == 1) {
    relay.pending.append(data, length);
    return;
  }
  if (relay.held.size() < kHeldLimit)
    relay.held.append(data, std::min(length, kHeldLimit - relay.held.size()));
  if (relay.startState == -1) {
    relay.startState = checkStreamStart(relay.held.data(), relay.held.size());
    if (relay.startState == 1) {
      relay.pending.append(relay.held);
      relay.held.clear();
    }
  }
}

// Writes what standard output takes now of the pending bytes, at most one
// chunk. Returns 0, or the errno of a write error.
int writePending(Relay& relay) {
  const size_t length = std::min(pendingSize(relay), kChunk);
  const char* data = relay.pending.data() + relay.pendingBegin;
  const ssize_t n = write(STDOUT_FILENO, data, length);
  if (n < 0) return errno == EAGAIN || errno == EINTR ? 0 : errno;
  relay.pendingBegin += size_t(n);
  if (relay.startState == 1)
    reportPages(scanPageFrames(relay.frames, data, size_t(n)), relay.frames);
  if (relay.pendingBegin == relay.pending.size()) {
    relay.pending.clear();
    relay.pendingBegin = 0;
  } else if (relay.pendingBegin >= kChunk && relay.pendingBegin * 2 >= relay.pending.size()) {
    relay.pending.erase(0, relay.pendingBegin);
    relay.pendingBegin = 0;
  }
  return 0;
}

// vormel's side: its process and its output, and the wind-down of a job
// that is being stopped.
struct Child {
  pid_t pid;
  int fromChild;  // -1 once at its end or abandoned
  bool reaped;
  int status;
  bool stopping;  // cancelled, or failed on input or output
  double stopAt;  // end of the grace period once stopping
  bool graceOver;
};

void reapChild(Child& child, int options) {
  if (child.reaped) return;
  for (;;) {
    const pid_t r = waitpid(child.pid, &child.status, options);
    if (r == child.pid) {
      child.reaped = true;
      return;
    }
    if (r < 0 && errno == EINTR) continue;
    return;
  }
}

// Stops the job: no more input for vormel, SIGTERM to it, and the grace
// period starts. vormel's output is still read and relayed.
void stopJob(Child& child, Feed& feed) {
  if (child.stopping) return;
  child.stopping = true;
  closeFeed(feed);
  if (!child.reaped) kill(child.pid, SIGTERM);
  child.stopAt = nowSeconds() + kCancelGraceSeconds;
}

// At the end of the grace period: vormel is killed, what the printer has not
// taken is dropped, and its output is no longer waited for (a process it
// started may still hold the pipe).
void endGrace(Child& child, Relay& relay) {
  child.graceOver = true;
  if (!child.reaped) kill(child.pid, SIGKILL);
  if (child.fromChild >= 0) close(child.fromChild);
  child.fromChild = -1;
  giveUpOutput(relay);
}

int pollTimeoutMs(const Child& child) {
  if (!child.stopping || child.graceOver) return -1;
  const double left = child.stopAt - nowSeconds();
  return left > 0 ? int(left * 1000) + 1 : 0;
}

}  // namespace

void relayJob(const char* program, const std::vector<std::string>& words,
              const std::string& jobLead, int inputFd, const std::string& jobTrailer, int signalFd,
              RelayResult& result) {
  assert(signalFd >= 0);
  result = RelayResult();
  int toChild = -1, fromChild = -1;
  const pid_t pid = startVormel(program, words, &toChild, &fromChild);
  if (pid < 0) {
    result.startFailed = true;
    return;
  }
  const int stdoutFlags = fcntl(STDOUT_FILENO, F_GETFL);
  if (stdoutFlags >= 0) fcntl(STDOUT_FILENO, F_SETFL, stdoutFlags | O_NONBLOCK);

  Feed feed{};
  feed.inputFd = inputFd;
  feed.toChild = toChild;
  feed.trailer = &jobTrailer;
  feed.pending = jobLead;
  feed.lastByte = jobLead.empty() ? '\0' : jobLead.back();
  if (inputFd < 0) queueTrailer(feed);
  Relay relay{};
  relay.startState = -1;
  Child child{};
  child.pid = pid;
  child.fromChild = fromChild;
  bool heldSettled = false;
  static char chunk[kChunk];

  for (;;) {
    reapChild(child, WNOHANG);
    if (child.reaped && child.fromChild < 0) {
      // Output that never became a printer stream goes out only after a clean exit.
      if (!heldSettled && relay.startState != 1 && !relay.held.empty()) {
        const bool clean = WIFEXITED(child.status) && WEXITSTATUS(child.status) == 0;
        if (clean && !child.stopping && !relay.givenUp)
          relay.pending.append(relay.held);
        else
          result.heldText = relay.held;
        relay.held.clear();
      }
      heldSettled = true;
      if (pendingSize(relay) == 0) break;
    }

    struct pollfd fds[5];
    nfds_t count = 0;
    auto watch = [&fds, &count](int fd, short events) {
      fds[count] = {fd, events, 0};
      return int(count++);
    };
    const int signalSlot = watch(signalFd, POLLIN);
    int feedSlot = -1, inputSlot = -1, outSlot = -1, printerSlot = -1;
    if (feed.toChild >= 0 && feedPending(feed) > 0)
      feedSlot = watch(feed.toChild, POLLOUT);
    else if (feed.toChild >= 0 && !feed.inputDone)
      inputSlot = watch(feed.inputFd, POLLIN);
    // Until the job is stopped, vormel is read only as fast as the printer
    // takes its stream; after that, always, so that it can finish.
    if (child.fromChild >= 0 && (child.stopping || pendingSize(relay) == 0))
      outSlot = watch(child.fromChild, POLLIN);
    if (pendingSize(relay) > 0) printerSlot = watch(STDOUT_FILENO, POLLOUT);

    const int ready = poll(fds, count, pollTimeoutMs(child));
    if (ready < 0 && errno != EINTR) {
      stopJob(child, feed);
      endGrace(child, relay);
      break;
    }

    if (ready > 0 && fds[signalSlot].revents != 0 && drainRelaySignals(signalFd) &&
        !result.cancelled) {
      result.cancelled = true;
      stopJob(child, feed);
    }
    if (ready > 0 && inputSlot >= 0 && fds[inputSlot].revents != 0) {
      const int error = refillFeed(feed);
      if (error != 0) {
        result.inputFailed = true;
        result.inputError = error;
        stopJob(child, feed);
      }
    }
    if (ready > 0 && feedSlot >= 0 && feed.toChild >= 0 && fds[feedSlot].revents != 0)
      pushFeed(feed);
    if (ready > 0 && outSlot >= 0 && child.fromChild >= 0 && fds[outSlot].revents != 0) {
      const ssize_t n = read(child.fromChild, chunk, sizeof chunk);
      if (n > 0) {
        takeOutput(relay, chunk, size_t(n));
        if (pendingSize(relay) > kWindDownHoldLimit) giveUpOutput(relay);
      } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
        close(child.fromChild);
        child.fromChild = -1;
      }
    }
    if (ready > 0 && printerSlot >= 0 && !relay.givenUp && fds[printerSlot].revents != 0) {
      const int error = writePending(relay);
      if (error != 0) {
        // The printer is gone: stop vormel, nothing more can be delivered.
        result.outputFailed = true;
        result.outputError = error;
        giveUpOutput(relay);
        stopJob(child, feed);
      }
    }
    if (child.stopping && !child.graceOver && nowSeconds() >= child.stopAt) endGrace(child, relay);
  }
  closeFeed(feed);
  if (child.fromChild >= 0) close(child.fromChild);
  reapChild(child, 0);
  if (stdoutFlags >= 0) fcntl(STDOUT_FILENO, F_SETFL, stdoutFlags);

  if (WIFEXITED(child.status)) result.exitStatus = WEXITSTATUS(child.status);
  if (WIFSIGNALED(child.status)) result.signalNumber = WTERMSIG(child.status);
  result.pagesSent = relay.frames.pagesDone;
  result.streamCut = relay.cut;
}
